#pragma once
// Where the module's own file lies, so that it can load a library placed beside itself.
//
// The path is the absolute path of the binary that holds this code: the shared module when it is
// loaded as one, the program itself when the code is linked into a program. It is found with
// dladdr on a function of the module; when that names the file only relatively (a module loaded
// by a relative path, or the main program), the kernel's map of the process gives the path.
//
// Errors: an empty text when the path cannot be found.
// Thread-safety: may be called from any thread at any time.
#include <string>

namespace Kovon::Platform {

// Absolute path of the module's file, e.g. "/opt/host/lib/libkovon40.so".
std::string ModuleFilePath();
// Its directory without a trailing '/', e.g. "/opt/host/lib" ("/" for a file in the root).
std::string ModuleDirectory();

}  // namespace Kovon::Platform
