#include <zip.h>

#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "sim/u3v/SimU3vCamera.h"

namespace Kovon::Sim {

namespace {

// The camera's GenICam description; @MODEL@ becomes the model name (made a valid GenICam name).
const char* const kDescription = R"XML(<?xml version="1.0" encoding="utf-8"?>
<RegisterDescription ModelName="@MODEL@" VendorName="Tarvek" ToolTip="Simulated USB3 Vision camera" StandardNameSpace="None" SchemaMajorVersion="1" SchemaMinorVersion="1" SchemaSubMinorVersion="0" MajorVersion="1" MinorVersion="0" SubMinorVersion="0" ProductGuid="5A1C3E20-7B4D-4F10-9C2E-6D8B0A1F2E3C" VersionGuid="9E4B2D10-3C5A-4E7F-8B1D-2F6A0C9E5D4B" xmlns="http://www.genicam.org/GenApi/Version_1_1" xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance" xsi:schemaLocation="http://www.genicam.org/GenApi/Version_1_1 http://www.genicam.org/GenApi/GenApiSchema_Version_1_1.xsd">
  <Category Name="Root" NameSpace="Standard">
    <pFeature>DeviceControl</pFeature>
    <pFeature>ImageFormatControl</pFeature>
    <pFeature>AcquisitionControl</pFeature>
  </Category>
  <Category Name="DeviceControl" NameSpace="Standard">
    <pFeature>DeviceVendorName</pFeature>
    <pFeature>DeviceModelName</pFeature>
    <pFeature>DeviceSerialNumber</pFeature>
    <pFeature>DeviceUserID</pFeature>
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
  </Category>
  <StringReg Name="DeviceVendorName" NameSpace="Standard">
    <Address>0x4</Address>
    <Length>64</Length>
    <AccessMode>RO</AccessMode>
    <pPort>Device</pPort>
  </StringReg>
  <StringReg Name="DeviceModelName" NameSpace="Standard">
    <Address>0x44</Address>
    <Length>64</Length>
    <AccessMode>RO</AccessMode>
    <pPort>Device</pPort>
  </StringReg>
  <StringReg Name="DeviceSerialNumber" NameSpace="Standard">
    <Address>0x144</Address>
    <Length>64</Length>
    <AccessMode>RO</AccessMode>
    <pPort>Device</pPort>
  </StringReg>
  <StringReg Name="DeviceUserID" NameSpace="Standard">
    <Address>0x184</Address>
    <Length>64</Length>
    <AccessMode>RW</AccessMode>
    <pPort>Device</pPort>
  </StringReg>
  <IntReg Name="Width" NameSpace="Standard">
    <Address>0x50000</Address>
    <Length>4</Length>
    <AccessMode>RW</AccessMode>
    <pPort>Device</pPort>
    <Sign>Unsigned</Sign>
    <Endianess>LittleEndian</Endianess>
  </IntReg>
  <IntReg Name="Height" NameSpace="Standard">
    <Address>0x50004</Address>
    <Length>4</Length>
    <AccessMode>RW</AccessMode>
    <pPort>Device</pPort>
    <Sign>Unsigned</Sign>
    <Endianess>LittleEndian</Endianess>
  </IntReg>
  <Enumeration Name="PixelFormat" NameSpace="Standard">
    <EnumEntry Name="Mono8" NameSpace="Standard">
      <Value>0x01080001</Value>
    </EnumEntry>
    <EnumEntry Name="Mono16" NameSpace="Standard">
      <Value>0x01100007</Value>
    </EnumEntry>
    <pValue>PixelFormatReg</pValue>
  </Enumeration>
  <IntReg Name="PixelFormatReg">
    <Address>0x50008</Address>
    <Length>4</Length>
    <AccessMode>RW</AccessMode>
    <pPort>Device</pPort>
    <Sign>Unsigned</Sign>
    <Endianess>LittleEndian</Endianess>
  </IntReg>
  <IntReg Name="PayloadSize" NameSpace="Standard">
    <Address>0x5000C</Address>
    <Length>4</Length>
    <AccessMode>RO</AccessMode>
    <pPort>Device</pPort>
    <Sign>Unsigned</Sign>
    <Endianess>LittleEndian</Endianess>
  </IntReg>
  <Enumeration Name="AcquisitionMode" NameSpace="Standard">
    <EnumEntry Name="Continuous" NameSpace="Standard">
      <Value>1</Value>
    </EnumEntry>
    <pValue>AcquisitionModeReg</pValue>
  </Enumeration>
  <IntReg Name="AcquisitionModeReg">
    <Address>0x50014</Address>
    <Length>4</Length>
    <AccessMode>RW</AccessMode>
    <pPort>Device</pPort>
    <Sign>Unsigned</Sign>
    <Endianess>LittleEndian</Endianess>
  </IntReg>
  <Command Name="AcquisitionStart" NameSpace="Standard">
    <pValue>AcquisitionCommandReg</pValue>
    <CommandValue>1</CommandValue>
  </Command>
  <Command Name="AcquisitionStop" NameSpace="Standard">
    <pValue>AcquisitionCommandReg</pValue>
    <CommandValue>0</CommandValue>
  </Command>
  <IntReg Name="AcquisitionCommandReg">
    <Address>0x50010</Address>
    <Length>4</Length>
    <AccessMode>WO</AccessMode>
    <pPort>Device</pPort>
    <Sign>Unsigned</Sign>
    <Endianess>LittleEndian</Endianess>
  </IntReg>
  <Port Name="Device" NameSpace="Standard">
  </Port>
</RegisterDescription>
)XML";

}  // namespace

std::string SimU3vDescription(const std::string& model, size_t size) {
    std::string name;
    for (char c : model) name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    if (name.empty() || std::isdigit(static_cast<unsigned char>(name[0]))) name.insert(0, "M");
    std::string text = kDescription;
    const size_t at = text.find("@MODEL@");
    text.replace(at, 7, name);
    const size_t comment = 7;  // "<!--" and "-->"
    if (size >= text.size() + comment) text += "<!--" + std::string(size - text.size() - comment, ' ') + "-->";
    return text;
}

bool SimU3vZip(const std::string& name, const std::string& text, std::vector<uint8_t>& out) {
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* archiveSource = zip_source_buffer_create(nullptr, 0, 0, &error);
    if (archiveSource == nullptr) {
        zip_error_fini(&error);
        return false;
    }
    zip_source_keep(archiveSource);
    zip_t* archive = zip_open_from_source(archiveSource, ZIP_TRUNCATE, &error);
    zip_error_fini(&error);
    bool ok = archive != nullptr;
    if (ok) {
        zip_source_t* file = zip_source_buffer(archive, text.data(), text.size(), 0);
        ok = file != nullptr && zip_file_add(archive, name.c_str(), file, ZIP_FL_OVERWRITE) >= 0;
        if (!ok && file != nullptr) zip_source_free(file);
        ok = zip_close(archive) == 0 && ok;
        if (!ok) zip_discard(archive);
    }
    if (ok && zip_source_open(archiveSource) == 0) {
        zip_stat_t st;
        zip_stat_init(&st);
        ok = zip_source_stat(archiveSource, &st) == 0 && (st.valid & ZIP_STAT_SIZE);
        if (ok) {
            out.resize(size_t(st.size));
            ok = zip_source_read(archiveSource, out.data(), st.size) == zip_int64_t(st.size);
        }
        zip_source_close(archiveSource);
    } else {
        ok = false;
    }
    zip_source_free(archiveSource);
    return ok;
}

}  // namespace Kovon::Sim
