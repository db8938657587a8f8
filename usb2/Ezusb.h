#pragma once
// CEzusb: the control channel to one USB 2.0 camera through an EZ-USB driver instance. It opens
// the instance by name, reads and writes the camera's 16-bit registers with vendor request 0xB0
// (one request per word), reads image data from bulk pipe 1 and aborts a pending bulk read.
//
// Statuses (kEzusb*): 0 success; -1 any other failure (for a write also a wrong echo); -2 the
// driver reported error 31 (the device is not functioning); -3 error 1167 (the device is not
// connected); -4 the channel holds no handle.
//
// Threads: register requests may come from several threads; the request lock makes each single
// word request atomic (the words of two transfers may interleave). Bulk reads take no lock and
// may run beside register requests; AbortPipe works on a handle of its own, so it can end a read
// that blocks on this channel's handle. Close may be called while requests run: each request
// holds its own reference to the handle it started with.
#include <cstdint>
#include <memory>
#include <mutex>

#include "usb2/driver/DriverSeam.h"

namespace Kovon {

enum EzusbStatus : int {
    kEzusbOk = 0,
    kEzusbFailed = -1,
    kEzusbNotFunctioning = -2,
    kEzusbNotConnected = -3,
    kEzusbNoHandle = -4,
};

class CEzusb {
public:
    using SleepFunction = void (*)(unsigned milliseconds);

    static constexpr size_t kNameFieldSize = 64;
    // "\\.\" + name must fit the 64-character path with its NUL: longer names are refused
    // rather than cut into another instance's name.
    static constexpr size_t kMaxNameLength = 59;
    static constexpr uint32_t kMaxBulkRequest = 0x140000;
    static constexpr int kRequestAttempts = 5;
    static constexpr unsigned kRetryPauseMs = 20;

    CEzusb();
    // 'sleep' replaces the pause between attempts (tests count the pauses instead of waiting).
    explicit CEzusb(SleepFunction sleep);
    virtual ~CEzusb();
    CEzusb(const CEzusb&) = delete;
    CEzusb& operator=(const CEzusb&) = delete;

    // Stores the name and opens the instance; true if it opened and reports USB 2.0. When the
    // version test fails the handle stays open until Close or destruction. A null name, or one of
    // 60 characters or more, is refused: false, no name stored, no handle.
    bool Open(const char* name);
    // Stores the instance name without opening it (a channel that Reopen opens later). A null name
    // or one of 60 characters or more is refused: false, and the name is left empty.
    bool SetDeviceName(const char* name);
    // Opens the stored name again without a version test; true if a handle was obtained. A handle
    // already held is replaced.
    bool Reopen();
    // 0 no handle or the descriptor request failed, 1 USB 2.0 (bcdUSB 0x0200), 2 any other.
    int GetUsbVersion();
    // Reads 'count' bytes (whole 16-bit words, stored low byte first) from 'address' on.
    // 0 or -1. A word whose echo names another address ends the read with 0: it is stored, the
    // rest is not read.
    int ReadRegister(void* buffer, uint16_t address, int count);
    // Writes 'count' bytes (whole words, low byte first in 'buffer'). 0, -1 (also a wrong echo),
    // -2 (error 31 on all five attempts), -3 or -4.
    int WriteRegister(const void* buffer, uint16_t address, int count);
    // Reads 'length' bytes from bulk pipe 1 in requests of at most 0x140000 bytes; blocks until
    // the driver completes each. The number of bytes delivered is not checked.
    int BulkRead(void* buffer, uint32_t length);
    // Aborts the transfers of pipe 1 through a second handle; true if the driver accepted it.
    bool AbortPipe();

    void Close();
    bool IsOpen() const;
    const char* GetDeviceName() const { return deviceName_; }

private:
    using SharedHandle = std::shared_ptr<IDriverHandle>;

    SharedHandle CurrentHandle() const;
    void SetHandle(SharedHandle handle);
    SharedHandle OpenPath(uint32_t& error) const;
    // One vendor request for one word; the answer is checked for its full 4 bytes.
    int WordRequest(const SharedHandle& handle, uint16_t address, uint16_t data, uint8_t (&answer)[4]);
    int ReadOnce(uint8_t* buffer, uint16_t address, int count);
    int WriteOnce(const uint8_t* buffer, uint16_t address, int count);

    char deviceName_[kNameFieldSize];
    mutable std::mutex handleLock_;  // guards handle_ itself, never held during I/O
    SharedHandle handle_;
    std::mutex requestLock_;  // one vendor request at a time
    SleepFunction sleep_;
};

// Reduces a driver error to a channel status: 31 → -2, 1167 → -3, any other → -1.
int EzusbStatusOfDriverError(uint32_t error);

}  // namespace Kovon
