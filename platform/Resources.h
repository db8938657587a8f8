#pragma once
// Resources: files whose bytes are compiled into a binary, found by (type text, id), e.g. the
// register description ("INTERFACES", 104).
//
// A CMake call embeds a file (cmake/EmbedResource.cmake):
//   kovon_embed_resource(TARGET kovon_core TYPE DEVREGS ID 104 FILE path/to/file.xml)
// At the end of configuration each target that embeds files gets one generated source holding
// their bytes (assembled in with .incbin, rebuilt when a file changes) and a table of them,
// named ResourceTable_<target as a C identifier>. FindResource searches the module's table
// (target kovon_core); FindResourceIn searches any other table.
//
// The bytes are read-only, live as long as the binary, and are followed by one NUL byte that the
// size does not count, so a text resource may be read as a C string.
// Types compare exactly (case-sensitive).
//
// Errors: a missing resource yields an empty Resource (data null, size 0).
// Thread-safety: the tables are constant; lookups may run from any thread at any time.
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace Kovon::Platform {

struct Resource {
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;

    explicit operator bool() const { return data != nullptr; }
    std::string_view Text() const { return {reinterpret_cast<const char*>(data), size}; }
};

// One entry of a generated table.
struct ResourceEntry {
    const char* type;
    std::uint32_t id;
    const std::uint8_t* data;
    const std::uint64_t* size;
};

struct ResourceTable {
    const ResourceEntry* entries;
    std::size_t count;
};

// The module's own resources.
extern const ResourceTable ResourceTable_kovon_core;

Resource FindResourceIn(const ResourceTable& table, std::string_view type, std::uint32_t id);
Resource FindResource(std::string_view type, std::uint32_t id);

}  // namespace Kovon::Platform
