#pragma once
// Runs one host operation and turns whatever it throws into a status, so that no exception ever
// crosses to the host: an invalid-argument error (the copy routines' refusals) becomes
// 'invalidArgumentStatus' (GC_ERR_INVALID_PARAMETER unless an operation says otherwise), any
// other exception GC_ERR_ERROR.
#include <new>
#include <stdexcept>

#include "Lumora/Status.h"

namespace Kovon {

template <typename Fn>
int GuardedCall(Fn&& fn, int invalidArgumentStatus = Lumora::GC_ERR_INVALID_PARAMETER) noexcept {
    try {
        return fn();
    } catch (const std::invalid_argument&) {
        return invalidArgumentStatus;
    } catch (...) {
        return Lumora::GC_ERR_ERROR;
    }
}

}  // namespace Kovon
