#pragma once
// The seam between the USB 2.0 channel (CEzusb) and whatever reaches the camera: the contract of
// the EZ-USB general-purpose driver, reduced to what the channel uses.
//
//   - A driver instance is opened by its device path, "\\.\" followed by the instance name
//     (for example "\\.\ZEDIVOXU-3"). Opening yields a handle or a Windows error number.
//   - A handle carries control requests: a control code, an input record and an output buffer.
//     The answer is the number of bytes written to the output buffer, or a Windows error
//     number. Errors 31 (the device does not function) and 1167 (the device is not connected)
//     keep their Windows meaning; every other failure is some other non-zero number.
//   - The bulk read (BulkReadCode) blocks until the transfer completes, the pipe is aborted
//     (ERROR_OPERATION_ABORTED) or the device goes away (1167). An abort is sent on a second
//     handle of the same instance while a read blocks on the first.
//
// Backends: instances registered by name in DriverRegistry. The simulated cameras register
// themselves there; the libusb backend (LibusbDriver.h) registers one instance for every camera
// it finds on the USB bus. An instance name belongs to one backend at a time.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace Kovon {

// Windows error numbers that cross the seam.
enum DriverError : uint32_t {
    kDriverOk = 0,
    kDriverFileNotFound = 2,        // no instance of that name
    kDriverGenFailure = 31,         // ERROR_GEN_FAILURE: the device is not functioning
    kDriverInvalidParameter = 87,   // malformed control request
    kDriverInvalidFunction = 1,     // unknown control code
    kDriverNotSupported = 50,       // the device is not one the driver can serve (no image pipe)
    kDriverOperationAborted = 995,  // the pipe was aborted while the transfer waited
    kDriverIoDevice = 1117,         // ERROR_IO_DEVICE: any other transfer failure
    kDriverNotConnected = 1167,     // ERROR_DEVICE_NOT_CONNECTED
};

// Control codes of the driver (device type 0x22, any access).
constexpr uint32_t kGetDeviceDescriptorCode = 0x222004;  // in/out: the 18-byte device descriptor
constexpr uint32_t kAbortPipeCode = 0x22203D;            // in: u32 pipe number; out: nothing
constexpr uint32_t kBulkReadCode = 0x22204E;             // in: u32 pipe number; out: the data
constexpr uint32_t kVendorRequestCode = 0x222059;        // in: 10-byte record; out: 4 bytes

constexpr const char* kDevicePathPrefix = "\\\\.\\";  // "\\.\"

class IDriverHandle {
public:
    virtual ~IDriverHandle() = default;
    // Sends one control request. On success returns kDriverOk and stores the number of bytes
    // written to 'out' in 'returned'; otherwise returns the error and 'returned' is 0. May block
    // (bulk read); must be callable from several threads on different handles at once.
    virtual uint32_t IoControl(uint32_t code, const void* in, size_t inSize, void* out, size_t outSize,
                               size_t& returned) = 0;
};

using DriverHandle = std::unique_ptr<IDriverHandle>;

// A driver instance that can be opened by name.
class IDriverInstance {
public:
    virtual ~IDriverInstance() = default;
    // Opens a new handle, or returns null and sets 'error'.
    virtual DriverHandle Open(uint32_t& error) = 0;
};

// Opens the instance named by a device path ("\\.\" + instance name). Paths without the prefix,
// and names of unknown instances, fail with kDriverFileNotFound.
DriverHandle OpenDriverPath(const char* path, uint32_t& error);

// Instances known by name. Registering a name that is taken replaces the old instance: handles
// already open on the old one keep working against it.
class DriverRegistry {
public:
    static void Register(const std::string& instanceName, std::shared_ptr<IDriverInstance> instance);
    // Registers only when the name is free; false when another instance holds it.
    static bool RegisterIfFree(const std::string& instanceName, std::shared_ptr<IDriverInstance> instance);
    static void Unregister(const std::string& instanceName);
    // Unregisters the name only while it still names 'instance'.
    static void UnregisterIf(const std::string& instanceName, const IDriverInstance* instance);
    static std::shared_ptr<IDriverInstance> Find(const std::string& instanceName);
};

// Traffic through the seam since the last reset, for measurements: every open attempt (also
// those that fail) and every control request by kind.
struct DriverTraffic {
    uint64_t openAttempts = 0;
    uint64_t opens = 0;
    uint64_t descriptorRequests = 0;
    uint64_t vendorRequests = 0;
    uint64_t bulkReads = 0;
    uint64_t aborts = 0;
};
DriverTraffic GetDriverTraffic();
void ResetDriverTraffic();

}  // namespace Kovon
