// The module's exported entry point. Loading the module runs nothing of its own: the platform
// layer finds the module's file through dladdr when it needs it, which is what the instance
// handle kept at load time served for.
#include <new>

#include "Lumora/Lumora.h"
#include "system/System.h"

extern "C" KOVON_API int GetSystem(Lumora::ISystem** out) {
    if (out == nullptr) return Lumora::GC_ERR_INVALID_PARAMETER;
    // A failed allocation stores a null system; the host must treat it as a failure.
    *out = new (std::nothrow) Kovon::CSystem();
    return 0;
}
