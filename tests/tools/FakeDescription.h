#pragma once
// A small GenApi description for the fake camera: image format, acquisition and device features
// of every type, with a lock register, and the location text that points at it.
#include <cstddef>
#include <cstdio>
#include <string>

#include "FakeCamera.h"

namespace KovonGrabTest::FakeDescription {

// Registers of the description below (offsets in the fake camera's memory).
inline constexpr size_t kWidth = 0x100, kSensorWidth = 0x104, kPixelFormat = 0x108, kExposure = 0x10C,
                        kReverseX = 0x110, kAcquisitionStart = 0x114, kLocked = 0x118, kHeight = 0x11C,
                        kModelName = 0x200, kUserId = 0x240;

inline const char kDescription[] = R"(<?xml version="1.0" encoding="utf-8"?>
<RegisterDescription ModelName="Fake" VendorName="Test" StandardNameSpace="None"
    SchemaMajorVersion="1" SchemaMinorVersion="1" SchemaSubMinorVersion="0"
    MajorVersion="1" MinorVersion="0" SubMinorVersion="0"
    ProductGuid="11111111-2222-3333-4444-555555555555" VersionGuid="11111111-2222-3333-4444-666666666666"
    xmlns="http://www.genicam.org/GenApi/Version_1_1">
  <Category Name="Root" NameSpace="Standard">
    <pFeature>ImageFormatControl</pFeature>
    <pFeature>AcquisitionControl</pFeature>
    <pFeature>DeviceModelName</pFeature>
    <pFeature>DeviceUserID</pFeature>
  </Category>
  <Category Name="ImageFormatControl" NameSpace="Standard">
    <pFeature>Width</pFeature>
    <pFeature>Height</pFeature>
    <pFeature>SensorWidth</pFeature>
    <pFeature>PixelFormat</pFeature>
    <pFeature>ReverseX</pFeature>
  </Category>
  <Category Name="AcquisitionControl" NameSpace="Standard">
    <pFeature>AcquisitionStart</pFeature>
    <pFeature>ExposureTime</pFeature>
    <pFeature>TLParamsLocked</pFeature>
  </Category>
  <Integer Name="Width" NameSpace="Standard">
    <pIsLocked>TLParamsLocked</pIsLocked>
    <pValue>WidthReg</pValue>
    <Min>16</Min>
    <Max>1280</Max>
    <Inc>16</Inc>
  </Integer>
  <IntReg Name="WidthReg">
    <Address>0x100</Address><Length>4</Length><AccessMode>RW</AccessMode><pPort>Device</pPort>
    <Sign>Unsigned</Sign><Endianess>LittleEndian</Endianess>
  </IntReg>
  <Integer Name="Height" NameSpace="Standard">
    <pValue>HeightReg</pValue>
    <Min>1</Min>
    <Max>1024</Max>
  </Integer>
  <IntReg Name="HeightReg">
    <Address>0x11C</Address><Length>4</Length><AccessMode>RW</AccessMode><pPort>Device</pPort>
    <Sign>Unsigned</Sign><Endianess>LittleEndian</Endianess>
  </IntReg>
  <Integer Name="SensorWidth" NameSpace="Standard">
    <pValue>SensorWidthReg</pValue>
  </Integer>
  <IntReg Name="SensorWidthReg">
    <Address>0x104</Address><Length>4</Length><AccessMode>RO</AccessMode><pPort>Device</pPort>
    <Sign>Unsigned</Sign><Endianess>LittleEndian</Endianess>
  </IntReg>
  <Enumeration Name="PixelFormat" NameSpace="Standard">
    <pIsLocked>TLParamsLocked</pIsLocked>
    <EnumEntry Name="Mono8"><Value>17301505</Value></EnumEntry>
    <EnumEntry Name="Mono12"><Value>17825797</Value></EnumEntry>
    <EnumEntry Name="Mono14">
      <pIsAvailable>Never</pIsAvailable>
      <Value>17825829</Value>
    </EnumEntry>
    <pValue>PixelFormatReg</pValue>
  </Enumeration>
  <IntReg Name="PixelFormatReg">
    <Address>0x108</Address><Length>4</Length><AccessMode>RW</AccessMode><pPort>Device</pPort>
    <Sign>Unsigned</Sign><Endianess>LittleEndian</Endianess>
  </IntReg>
  <Integer Name="Never"><Value>0</Value></Integer>
  <Float Name="ExposureTime" NameSpace="Standard">
    <pValue>ExposureReg</pValue>
    <Min>10</Min>
    <Max>1000000</Max>
    <Unit>us</Unit>
  </Float>
  <FloatReg Name="ExposureReg">
    <Address>0x10C</Address><Length>4</Length><AccessMode>RW</AccessMode><pPort>Device</pPort>
    <Endianess>LittleEndian</Endianess>
  </FloatReg>
  <Boolean Name="ReverseX" NameSpace="Standard">
    <pValue>ReverseXReg</pValue>
    <OnValue>1</OnValue>
    <OffValue>0</OffValue>
  </Boolean>
  <IntReg Name="ReverseXReg">
    <Address>0x110</Address><Length>4</Length><AccessMode>RW</AccessMode><pPort>Device</pPort>
    <Sign>Unsigned</Sign><Endianess>LittleEndian</Endianess>
  </IntReg>
  <Command Name="AcquisitionStart" NameSpace="Standard">
    <pValue>AcquisitionStartReg</pValue>
    <CommandValue>1</CommandValue>
  </Command>
  <IntReg Name="AcquisitionStartReg">
    <Address>0x114</Address><Length>4</Length><AccessMode>RW</AccessMode><pPort>Device</pPort>
    <Sign>Unsigned</Sign><Endianess>LittleEndian</Endianess>
  </IntReg>
  <Integer Name="TLParamsLocked" NameSpace="Standard">
    <pValue>LockedReg</pValue>
  </Integer>
  <IntReg Name="LockedReg">
    <Address>0x118</Address><Length>4</Length><AccessMode>RW</AccessMode><pPort>Device</pPort>
    <Sign>Unsigned</Sign><Endianess>LittleEndian</Endianess>
  </IntReg>
  <StringReg Name="DeviceModelName" NameSpace="Standard">
    <Address>0x200</Address><Length>20</Length><AccessMode>RO</AccessMode><pPort>Device</pPort>
  </StringReg>
  <StringReg Name="DeviceUserID" NameSpace="Standard">
    <Address>0x240</Address><Length>20</Length><AccessMode>RW</AccessMode><pPort>Device</pPort>
  </StringReg>
  <Port Name="Device" NameSpace="Standard"/>
</RegisterDescription>
)";

inline std::string Location(const std::string& file, size_t length) {
    char text[128];
    std::snprintf(text, sizeof text, "Local:%s;%llx;%zx", file.c_str(),
                  static_cast<unsigned long long>(FakeCamera::kDescriptionAddress), length);
    return text;
}

}  // namespace KovonGrabTest::FakeDescription
