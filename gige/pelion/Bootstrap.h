#pragma once
// Register addresses of a GigE Vision camera: the standard bootstrap registers and the maker's
// camera registers that the library and the module rely on.
#include <cstdint>

namespace Kovon::Pelion::Reg {

constexpr uint32_t Version = 0x0000;
constexpr uint32_t DeviceMode = 0x0004;
constexpr uint32_t MacHigh = 0x0008;
constexpr uint32_t MacLow = 0x000C;
constexpr uint32_t IpConfigOptions = 0x0010;
constexpr uint32_t IpConfigCurrent = 0x0014;
constexpr uint32_t CurrentIp = 0x0024;
constexpr uint32_t CurrentMask = 0x0034;
constexpr uint32_t CurrentGateway = 0x0044;
constexpr uint32_t ManufacturerName = 0x0048;  // 32 bytes
constexpr uint32_t ModelName = 0x0068;         // 32 bytes
constexpr uint32_t DeviceVersion = 0x0088;     // 32 bytes
constexpr uint32_t ManufacturerInfo = 0x00A8;  // 48 bytes
constexpr uint32_t SerialNumber = 0x00D8;      // 16 bytes
constexpr uint32_t UserName = 0x00E8;          // 16 bytes
constexpr uint32_t FirstUrl = 0x0200;          // 512 bytes
constexpr uint32_t SecondUrl = 0x0400;         // 512 bytes
constexpr uint32_t NetworkInterfaces = 0x0600;
constexpr uint32_t MessageChannels = 0x0900;
constexpr uint32_t StreamChannels = 0x0904;
constexpr uint32_t GvcpCapability = 0x0934;
constexpr uint32_t HeartbeatTimeout = 0x0938;
constexpr uint32_t TimestampFrequencyHigh = 0x093C;
constexpr uint32_t TimestampFrequencyLow = 0x0940;
constexpr uint32_t TimestampControl = 0x0944;
constexpr uint32_t TimestampHigh = 0x0948;
constexpr uint32_t TimestampLow = 0x094C;
constexpr uint32_t PendingTimeout = 0x0958;
constexpr uint32_t ControlPrivilege = 0x0A00;  // CCP
constexpr uint32_t MessagePort = 0x0B00;       // MCP
constexpr uint32_t MessageDestination = 0x0B10;  // MCDA
constexpr uint32_t MessageTimeout = 0x0B14;
constexpr uint32_t MessageRetries = 0x0B18;
constexpr uint32_t StreamPort0 = 0x0D00;        // SCP0
constexpr uint32_t StreamPacketSize0 = 0x0D04;  // SCPS0
constexpr uint32_t StreamPacketDelay0 = 0x0D08;  // SCPD0
constexpr uint32_t StreamDestination0 = 0x0D18;  // SCDA0
constexpr uint32_t StreamSourcePort0 = 0x0D1C;   // SCSP0

constexpr uint32_t BootstrapEnd = 0x1000;

// CCP bits.
constexpr uint32_t PrivilegeExclusive = 0x1;
constexpr uint32_t PrivilegeControl = 0x2;
// SCPS bits.
constexpr uint32_t PacketSizeMask = 0xFFFF;
constexpr uint32_t FireTestPacket = 0x80000000;
constexpr uint32_t DoNotFragment = 0x40000000;

// The maker's camera registers.
constexpr uint32_t OpenMarker = 0xA000;  // written at open, read back by the module
constexpr uint32_t Width = 0xA004;
constexpr uint32_t Height = 0xA008;
constexpr uint32_t PixelFormat = 0xA018;
constexpr uint32_t FramePeriodUs = 0xA01C;  // 0: as fast as the link allows
constexpr uint32_t PayloadSize = 0xA024;
constexpr uint32_t AcquisitionStatus = 0xA028;
constexpr uint32_t AcquisitionMode = 0xA02C;
constexpr uint32_t AcquisitionStart = 0xA030;
constexpr uint32_t AcquisitionStop = 0xA034;
constexpr uint32_t TestEvent = 0xA040;  // writing an event id makes the camera send that event
constexpr uint32_t LongCommandCode = 0xA100;     // writing runs the command; may take long
constexpr uint32_t LongCommandArgument = 0xA104;
constexpr uint32_t LongCommandResult = 0xA108;

// Where the maker's cameras keep their register description.
constexpr uint32_t DescriptionAddress = 0x10000;
// A scratch memory window the cameras offer to hosts.
constexpr uint32_t UserMemory = 0x20000;
constexpr uint32_t UserMemorySize = 0x1000;

// Long command codes of the maker's cameras.
constexpr uint32_t LongCommandSelfTest = 4;  // result word 1: passed

}  // namespace Kovon::Pelion::Reg
