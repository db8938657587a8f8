#include "sim/gige/GigECameraXml.h"

namespace Kovon::Sim {
namespace {

// Everything after the opening RegisterDescription tag. The camera registers are the maker's
// layout (0xA000 and up); the transport-layer features map the GigE Vision bootstrap registers.
const char* const kBody = R"XML(
  <Category Name="Root" NameSpace="Standard">
    <pFeature>DeviceControl</pFeature>
    <pFeature>ImageFormatControl</pFeature>
    <pFeature>AcquisitionControl</pFeature>
    <pFeature>EventControl</pFeature>
    <pFeature>TransportLayerControl</pFeature>
  </Category>
  <Category Name="DeviceControl" NameSpace="Standard">
    <pFeature>DeviceVendorName</pFeature>
    <pFeature>DeviceModelName</pFeature>
    <pFeature>DeviceVersion</pFeature>
    <pFeature>DeviceManufacturerInfo</pFeature>
    <pFeature>DeviceID</pFeature>
    <pFeature>DeviceUserID</pFeature>
    <pFeature>DeviceOpenMarker</pFeature>
    <pFeature>DeviceSelfTest</pFeature>
    <pFeature>DeviceSelfTestResult</pFeature>
  </Category>
  <Category Name="ImageFormatControl" NameSpace="Standard">
    <pFeature>Width</pFeature>
    <pFeature>Height</pFeature>
    <pFeature>PixelFormat</pFeature>
    <pFeature>PayloadSize</pFeature>
  </Category>
  <Category Name="AcquisitionControl" NameSpace="Standard">
    <pFeature>AcquisitionMode</pFeature>
    <pFeature>AcquisitionStart</pFeature>
    <pFeature>AcquisitionStop</pFeature>
    <pFeature>AcquisitionFramePeriod</pFeature>
    <pFeature>AcquisitionStatus</pFeature>
  </Category>
  <Category Name="EventControl" NameSpace="Standard">
    <pFeature>TestEventGenerate</pFeature>
  </Category>
  <Category Name="TransportLayerControl" NameSpace="Standard">
    <pFeature>GevVersionMajor</pFeature>
    <pFeature>GevHeartbeatTimeout</pFeature>
    <pFeature>GevTimestampTickFrequency</pFeature>
    <pFeature>GevSCPHostPort</pFeature>
    <pFeature>GevSCPSPacketSize</pFeature>
    <pFeature>GevSCPSFireTestPacket</pFeature>
    <pFeature>GevSCPSDoNotFragment</pFeature>
    <pFeature>GevSCPD</pFeature>
    <pFeature>GevSCDA</pFeature>
  </Category>

  <StringReg Name="DeviceVendorName" NameSpace="Standard">
    <Address>0x48</Address><Length>32</Length><AccessMode>RO</AccessMode><pPort>Device</pPort>
  </StringReg>
  <StringReg Name="DeviceModelName" NameSpace="Standard">
    <Address>0x68</Address><Length>32</Length><AccessMode>RO</AccessMode><pPort>Device</pPort>
  </StringReg>
  <StringReg Name="DeviceVersion" NameSpace="Standard">
    <Address>0x88</Address><Length>32</Length><AccessMode>RO</AccessMode><pPort>Device</pPort>
  </StringReg>
  <StringReg Name="DeviceManufacturerInfo" NameSpace="Standard">
    <Address>0xA8</Address><Length>48</Length><AccessMode>RO</AccessMode><pPort>Device</pPort>
  </StringReg>
  <StringReg Name="DeviceID" NameSpace="Standard">
    <Address>0xD8</Address><Length>16</Length><AccessMode>RO</AccessMode><pPort>Device</pPort>
  </StringReg>
  <StringReg Name="DeviceUserID" NameSpace="Standard">
    <Address>0xE8</Address><Length>16</Length><AccessMode>RW</AccessMode><pPort>Device</pPort>
  </StringReg>
  <IntReg Name="DeviceOpenMarker" NameSpace="Custom">
    <ToolTip>Written by the host when it opens the camera.</ToolTip>
    <Address>0xA000</Address><Length>4</Length><AccessMode>RW</AccessMode><pPort>Device</pPort>
    <Sign>Unsigned</Sign><Endianess>BigEndian</Endianess>
  </IntReg>
  <Command Name="DeviceSelfTest" NameSpace="Custom">
    <ToolTip>Runs the camera self test; it takes a while.</ToolTip>
    <pValue>LongCommandCodeReg</pValue>
    <CommandValue>4</CommandValue>
  </Command>
  <IntReg Name="LongCommandCodeReg" NameSpace="Custom">
    <Address>0xA100</Address><Length>4</Length><AccessMode>RW</AccessMode><pPort>Device</pPort>
    <Sign>Unsigned</Sign><Endianess>BigEndian</Endianess>
  </IntReg>
  <IntReg Name="DeviceSelfTestResult" NameSpace="Custom">
    <ToolTip>1 when the last self test passed.</ToolTip>
    <Address>0xA108</Address><Length>4</Length><AccessMode>RO</AccessMode><pPort>Device</pPort>
    <Cachable>NoCache</Cachable>
    <Sign>Unsigned</Sign><Endianess>BigEndian</Endianess>
  </IntReg>

  <Integer Name="Width" NameSpace="Standard">
    <pInvalidator>PixelFormatReg</pInvalidator>
    <pValue>WidthReg</pValue>
    <Min>8</Min><Max>4096</Max><Inc>4</Inc>
  </Integer>
  <IntReg Name="WidthReg" NameSpace="Custom">
    <Address>0xA004</Address><Length>4</Length><AccessMode>RW</AccessMode><pPort>Device</pPort>
    <Sign>Unsigned</Sign><Endianess>BigEndian</Endianess>
  </IntReg>
  <Integer Name="Height" NameSpace="Standard">
    <pValue>HeightReg</pValue>
    <Min>1</Min><Max>4096</Max><Inc>1</Inc>
  </Integer>
  <IntReg Name="HeightReg" NameSpace="Custom">
    <Address>0xA008</Address><Length>4</Length><AccessMode>RW</AccessMode><pPort>Device</pPort>
    <Sign>Unsigned</Sign><Endianess>BigEndian</Endianess>
  </IntReg>
  <Enumeration Name="PixelFormat" NameSpace="Standard">
    <EnumEntry Name="Mono8" NameSpace="Standard"><Value>0x01080001</Value></EnumEntry>
    <EnumEntry Name="Mono10" NameSpace="Standard"><Value>0x01100003</Value></EnumEntry>
    <EnumEntry Name="Mono10Packed" NameSpace="Standard"><Value>0x010C0004</Value></EnumEntry>
    <EnumEntry Name="Mono12" NameSpace="Standard"><Value>0x01100005</Value></EnumEntry>
    <EnumEntry Name="Mono12Packed" NameSpace="Standard"><Value>0x010C0006</Value></EnumEntry>
    <EnumEntry Name="Mono16" NameSpace="Standard"><Value>0x01100007</Value></EnumEntry>
    <EnumEntry Name="BayerGR8" NameSpace="Standard"><Value>0x01080008</Value></EnumEntry>
    <EnumEntry Name="BayerRG8" NameSpace="Standard"><Value>0x01080009</Value></EnumEntry>
    <EnumEntry Name="BayerGB8" NameSpace="Standard"><Value>0x0108000A</Value></EnumEntry>
    <EnumEntry Name="BayerBG8" NameSpace="Standard"><Value>0x0108000B</Value></EnumEntry>
    <EnumEntry Name="BayerGR10" NameSpace="Standard"><Value>0x0110000C</Value></EnumEntry>
    <EnumEntry Name="BayerRG10" NameSpace="Standard"><Value>0x0110000D</Value></EnumEntry>
    <EnumEntry Name="BayerGB10" NameSpace="Standard"><Value>0x0110000E</Value></EnumEntry>
    <EnumEntry Name="BayerBG10" NameSpace="Standard"><Value>0x0110000F</Value></EnumEntry>
    <EnumEntry Name="BayerGR12" NameSpace="Standard"><Value>0x01100010</Value></EnumEntry>
    <EnumEntry Name="BayerRG12" NameSpace="Standard"><Value>0x01100011</Value></EnumEntry>
    <EnumEntry Name="BayerGB12" NameSpace="Standard"><Value>0x01100012</Value></EnumEntry>
    <EnumEntry Name="BayerBG12" NameSpace="Standard"><Value>0x01100013</Value></EnumEntry>
    <EnumEntry Name="BayerGR10Packed" NameSpace="Standard"><Value>0x010C0026</Value></EnumEntry>
    <EnumEntry Name="BayerRG10Packed" NameSpace="Standard"><Value>0x010C0027</Value></EnumEntry>
    <EnumEntry Name="BayerGB10Packed" NameSpace="Standard"><Value>0x010C0028</Value></EnumEntry>
    <EnumEntry Name="BayerBG10Packed" NameSpace="Standard"><Value>0x010C0029</Value></EnumEntry>
    <EnumEntry Name="BayerGR12Packed" NameSpace="Standard"><Value>0x010C002A</Value></EnumEntry>
    <EnumEntry Name="BayerRG12Packed" NameSpace="Standard"><Value>0x010C002B</Value></EnumEntry>
    <EnumEntry Name="BayerGB12Packed" NameSpace="Standard"><Value>0x010C002C</Value></EnumEntry>
    <EnumEntry Name="BayerBG12Packed" NameSpace="Standard"><Value>0x010C002D</Value></EnumEntry>
    <EnumEntry Name="RGB8Packed" NameSpace="Standard"><Value>0x02180014</Value></EnumEntry>
    <EnumEntry Name="BGR8Packed" NameSpace="Standard"><Value>0x02180015</Value></EnumEntry>
    <EnumEntry Name="YUV422Packed" NameSpace="Standard"><Value>0x0210001F</Value></EnumEntry>
    <EnumEntry Name="YUV422_YUYV_Packed" NameSpace="Standard"><Value>0x02100032</Value></EnumEntry>
    <pValue>PixelFormatReg</pValue>
  </Enumeration>
  <IntReg Name="PixelFormatReg" NameSpace="Custom">
    <Address>0xA018</Address><Length>4</Length><AccessMode>RW</AccessMode><pPort>Device</pPort>
    <Sign>Unsigned</Sign><Endianess>BigEndian</Endianess>
  </IntReg>
  <IntReg Name="PayloadSize" NameSpace="Standard">
    <Address>0xA024</Address><Length>4</Length><AccessMode>RO</AccessMode><pPort>Device</pPort>
    <pInvalidator>WidthReg</pInvalidator>
    <pInvalidator>HeightReg</pInvalidator>
    <pInvalidator>PixelFormatReg</pInvalidator>
    <Sign>Unsigned</Sign><Endianess>BigEndian</Endianess>
  </IntReg>

  <Enumeration Name="AcquisitionMode" NameSpace="Standard">
    <EnumEntry Name="Continuous" NameSpace="Standard"><Value>0</Value></EnumEntry>
    <pValue>AcquisitionModeReg</pValue>
  </Enumeration>
  <IntReg Name="AcquisitionModeReg" NameSpace="Custom">
    <Address>0xA02C</Address><Length>4</Length><AccessMode>RW</AccessMode><pPort>Device</pPort>
    <Sign>Unsigned</Sign><Endianess>BigEndian</Endianess>
  </IntReg>
  <Command Name="AcquisitionStart" NameSpace="Standard">
    <pValue>AcquisitionStartReg</pValue>
    <CommandValue>1</CommandValue>
  </Command>
  <IntReg Name="AcquisitionStartReg" NameSpace="Custom">
    <Address>0xA030</Address><Length>4</Length><AccessMode>RW</AccessMode><pPort>Device</pPort>
    <Sign>Unsigned</Sign><Endianess>BigEndian</Endianess>
  </IntReg>
  <Command Name="AcquisitionStop" NameSpace="Standard">
    <pValue>AcquisitionStopReg</pValue>
    <CommandValue>1</CommandValue>
  </Command>
  <IntReg Name="AcquisitionStopReg" NameSpace="Custom">
    <Address>0xA034</Address><Length>4</Length><AccessMode>RW</AccessMode><pPort>Device</pPort>
    <Sign>Unsigned</Sign><Endianess>BigEndian</Endianess>
  </IntReg>
  <IntReg Name="AcquisitionFramePeriod" NameSpace="Custom">
    <ToolTip>Time between frames in microseconds; 0 sends as fast as the link allows.</ToolTip>
    <Address>0xA01C</Address><Length>4</Length><AccessMode>RW</AccessMode><pPort>Device</pPort>
    <Sign>Unsigned</Sign><Endianess>BigEndian</Endianess>
  </IntReg>
  <IntReg Name="AcquisitionStatus" NameSpace="Standard">
    <Address>0xA028</Address><Length>4</Length><AccessMode>RO</AccessMode><pPort>Device</pPort>
    <Cachable>NoCache</Cachable>
    <Sign>Unsigned</Sign><Endianess>BigEndian</Endianess>
  </IntReg>
  <IntReg Name="TestEventGenerate" NameSpace="Custom">
    <ToolTip>Writing an event id makes the camera send that event.</ToolTip>
    <Address>0xA040</Address><Length>4</Length><AccessMode>RW</AccessMode><pPort>Device</pPort>
    <Sign>Unsigned</Sign><Endianess>BigEndian</Endianess>
  </IntReg>

  <MaskedIntReg Name="GevVersionMajor" NameSpace="Standard">
    <Address>0x0</Address><Length>4</Length><AccessMode>RO</AccessMode><pPort>Device</pPort>
    <LSB>15</LSB><MSB>0</MSB><Sign>Unsigned</Sign><Endianess>BigEndian</Endianess>
  </MaskedIntReg>
  <IntReg Name="GevHeartbeatTimeout" NameSpace="Standard">
    <Address>0x938</Address><Length>4</Length><AccessMode>RW</AccessMode><pPort>Device</pPort>
    <Sign>Unsigned</Sign><Endianess>BigEndian</Endianess>
  </IntReg>
  <IntReg Name="GevTimestampTickFrequency" NameSpace="Standard">
    <Address>0x93C</Address><Length>8</Length><AccessMode>RO</AccessMode><pPort>Device</pPort>
    <Sign>Unsigned</Sign><Endianess>BigEndian</Endianess>
  </IntReg>
  <MaskedIntReg Name="GevSCPHostPort" NameSpace="Standard">
    <Address>0xD00</Address><Length>4</Length><AccessMode>RW</AccessMode><pPort>Device</pPort>
    <LSB>31</LSB><MSB>16</MSB><Sign>Unsigned</Sign><Endianess>BigEndian</Endianess>
  </MaskedIntReg>
  <MaskedIntReg Name="GevSCPSPacketSize" NameSpace="Standard">
    <Address>0xD04</Address><Length>4</Length><AccessMode>RW</AccessMode><pPort>Device</pPort>
    <LSB>31</LSB><MSB>16</MSB><Sign>Unsigned</Sign><Endianess>BigEndian</Endianess>
  </MaskedIntReg>
  <MaskedIntReg Name="GevSCPSFireTestPacket" NameSpace="Standard">
    <Address>0xD04</Address><Length>4</Length><AccessMode>RW</AccessMode><pPort>Device</pPort>
    <Bit>0</Bit><Sign>Unsigned</Sign><Endianess>BigEndian</Endianess>
  </MaskedIntReg>
  <MaskedIntReg Name="GevSCPSDoNotFragment" NameSpace="Standard">
    <Address>0xD04</Address><Length>4</Length><AccessMode>RW</AccessMode><pPort>Device</pPort>
    <Bit>1</Bit><Sign>Unsigned</Sign><Endianess>BigEndian</Endianess>
  </MaskedIntReg>
  <IntReg Name="GevSCPD" NameSpace="Standard">
    <Address>0xD08</Address><Length>4</Length><AccessMode>RW</AccessMode><pPort>Device</pPort>
    <Sign>Unsigned</Sign><Endianess>BigEndian</Endianess>
  </IntReg>
  <IntReg Name="GevSCDA" NameSpace="Standard">
    <Address>0xD18</Address><Length>4</Length><AccessMode>RW</AccessMode><pPort>Device</pPort>
    <Sign>Unsigned</Sign><Endianess>BigEndian</Endianess>
  </IntReg>

  <Port Name="Device" NameSpace="Standard">
    <ToolTip>Port giving access to the camera.</ToolTip>
  </Port>
</RegisterDescription>
)XML";

}  // namespace

std::string BuildGigECameraXml(const std::string& modelName) {
    std::string name;
    for (char c : modelName) {
        bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
        name += ok ? c : '_';
    }
    if (name.empty() || !((name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= 'a' && name[0] <= 'z')))
        name = "C" + name;
    std::string xml =
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
        "<RegisterDescription ModelName=\"" + name + "\" VendorName=\"Tarvek\" "
        "ToolTip=\"Simulated GigE Vision camera\" StandardNameSpace=\"GEV\" "
        "SchemaMajorVersion=\"1\" SchemaMinorVersion=\"1\" SchemaSubMinorVersion=\"0\" "
        "MajorVersion=\"1\" MinorVersion=\"0\" SubMinorVersion=\"0\" "
        "ProductGuid=\"6f1e9a3c-2d4b-4c8e-9a71-3b5d0e2f7c41\" "
        "VersionGuid=\"a2c47e15-8b3f-4d6a-b0e9-5c1d7f3a9e62\" "
        "xmlns=\"http://www.genicam.org/GenApi/Version_1_1\" "
        "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
        "xsi:schemaLocation=\"http://www.genicam.org/GenApi/Version_1_1 "
        "http://www.genicam.org/GenApi/GenApiSchema_Version_1_1.xsd\">";
    xml += kBody;
    return xml;
}

}  // namespace Kovon::Sim
