// A small shared library built from the module's path code, loaded by ModulePathTest.
#include "platform/ModulePath.h"

extern "C" __attribute__((visibility("default"))) const char* ProbeModuleFilePath() {
    static std::string path;
    path = Kovon::Platform::ModuleFilePath();
    return path.c_str();
}
