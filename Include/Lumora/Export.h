#pragma once
// Symbol visibility of the module. The module is built with hidden visibility; whatever a host
// compiles against and reaches across the library boundary is marked KOVON_API.
#define KOVON_API __attribute__((visibility("default")))
