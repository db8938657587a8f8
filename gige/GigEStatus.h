#pragma once
// The one place where the GigE Vision library's 16-bit statuses become host status values. Each
// kind of library call has its own table, because the same library status means different
// things to the host depending on what was asked (a time-out of a register access is a time-out,
// a refused setting is "not implemented").
#include "gige/pelion/Status.h"

namespace Kovon {

enum class GigECall {
    Register,       // register read or write
    Memory,         // memory read or write
    Setting,        // settings record write, mode byte write and read
    SettingRead,    // settings record read
    EventOpen,      // opening the event channel
    EventClose,     // closing the event channel
    LongCommand,
    ForceIp,
};

// 0 for success, a negative host status otherwise.
int MapGigEStatus(GigECall call, Pelion::Status status);

}  // namespace Kovon
