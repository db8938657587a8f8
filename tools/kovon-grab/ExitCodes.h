#pragma once
// Exit codes of kovon-grab: one per kind of failure a user or a script acts on.
#include "Features.h"

namespace KovonGrab {

enum ExitCode {
    kExitOk = 0,
    kExitFailure = 1,  // anything not listed below
    kExitUsage = 2,
    kExitNoModule = 3,  // the module cannot be loaded or makes no system
    kExitUnknownCamera = 4,
    kExitCannotOpen = 5,  // the camera is listed but cannot be opened (in use elsewhere)
    kExitUnknownFeature = 6,
    kExitInvalidValue = 7,  // not a value of the feature's type or not one of its entries
    kExitOutOfRange = 8,
    kExitLocked = 9,
    kExitNotAccessible = 10,  // not readable, not writable or not available now
    kExitTimeout = 11,
    kExitCameraLost = 12,
};

inline int ExitCodeFor(FeatureOutcome outcome) {
    switch (outcome) {
        case FeatureOutcome::Ok:
            return kExitOk;
        case FeatureOutcome::UnknownFeature:
            return kExitUnknownFeature;
        case FeatureOutcome::NotAvailable:
        case FeatureOutcome::NotReadable:
        case FeatureOutcome::NotWritable:
            return kExitNotAccessible;
        case FeatureOutcome::Locked:
            return kExitLocked;
        case FeatureOutcome::OutOfRange:
            return kExitOutOfRange;
        case FeatureOutcome::InvalidValue:
            return kExitInvalidValue;
        default:
            return kExitFailure;
    }
}

}  // namespace KovonGrab
