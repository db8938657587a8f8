// The module's exported entry point.
#include "Lumora/Lumora.h"

extern "C" KOVON_API int GetSystem(Lumora::ISystem** out) {
    if (out != nullptr) *out = nullptr;
    return 0;
}
