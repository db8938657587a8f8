#pragma once
// The named mutex of a USB 2.0 camera: taken with the device name when the camera is opened, so
// that one object in one process holds the camera at a time. Built on the platform's named mutex
// when the tree has it; otherwise on an abstract Unix socket bound under the name, which the
// kernel frees when the socket closes or its process dies.
#include <string>

#if __has_include("platform/NamedMutex.h")
#include "platform/NamedMutex.h"
#define KOVON_USB2_PLATFORM_MUTEX 1
#endif

namespace Kovon {

class DeviceMutex {
public:
    enum class Result { Created, AlreadyExists, Failed };

    DeviceMutex() = default;
    ~DeviceMutex() { Close(); }
    DeviceMutex(const DeviceMutex&) = delete;
    DeviceMutex& operator=(const DeviceMutex&) = delete;

    Result Create(const std::string& name);
    void Close();
    bool IsHeld() const;

private:
#ifdef KOVON_USB2_PLATFORM_MUTEX
    Platform::NamedMutex mutex_;
#else
    int fd_ = -1;
#endif
};

}  // namespace Kovon
