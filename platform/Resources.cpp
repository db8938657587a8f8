#include "platform/Resources.h"

namespace Kovon::Platform {

Resource FindResourceIn(const ResourceTable& table, std::string_view type, std::uint32_t id) {
    for (std::size_t i = 0; i < table.count; ++i) {
        const ResourceEntry& entry = table.entries[i];
        if (entry.id == id && type == entry.type) {
            return Resource{entry.data, static_cast<std::size_t>(*entry.size)};
        }
    }
    return Resource{};
}

Resource FindResource(std::string_view type, std::uint32_t id) {
    return FindResourceIn(ResourceTable_kovon_core, type, id);
}

}  // namespace Kovon::Platform
