// Build-time program: writes the seventeen USB 2.0 register descriptions as
// <output-dir>/DEVREGS_<id>.xml. Fails (exit code 1) when the table is inconsistent.
#include <cstdio>
#include <exception>
#include <fstream>
#include <map>
#include <string>
#include <utility>

#include "DescriptionTable.h"
#include "DescriptionWriter.h"

using namespace Kovon::Descriptions;

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <output-dir>\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    try {
        // Descriptions that share a GUID pair must be identical, or a consumer that caches by GUID
        // would hand one camera another camera's description.
        std::map<std::pair<std::string, std::string>, std::string> byGuid;
        for (const Resource& r : Resources()) {
            const std::string text = WriteDescription(r);
            auto [it, fresh] = byGuid.emplace(std::make_pair(r.productGuid, r.versionGuid), text);
            if (!fresh && it->second != text) {
                std::fprintf(stderr, "description %d differs from another with the same GUID pair\n", r.id);
                return 1;
            }
            const std::string path = dir + "/DEVREGS_" + std::to_string(r.id) + ".xml";
            std::ofstream out(path, std::ios::binary | std::ios::trunc);
            out << text;
            out.close();
            if (!out) {
                std::fprintf(stderr, "cannot write %s\n", path.c_str());
                return 1;
            }
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "register description table: %s\n", e.what());
        return 1;
    }
    return 0;
}
