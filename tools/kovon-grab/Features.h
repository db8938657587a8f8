#pragma once
// Camera features by their GenICam names: the camera's own register description, parsed by the
// Aravis GenApi engine on a port bound to the device (ModulePort). The engine evaluates the
// description; the rules a user relies on before a write (implemented, available, not locked,
// writable, inside the range or one of the enumeration's entries) are checked here, because the
// engine does not enforce them.
#include <arv.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Lumora/Lumora.h"
#include "ModulePort.h"

namespace KovonGrab {

enum class FeatureOutcome {
    Ok,
    NoDescription,   // the camera offers no readable register description
    UnknownFeature,  // no feature of that name in the description
    NotAvailable,    // not implemented or not available in the camera's present state
    NotReadable,
    NotWritable,
    Locked,         // pIsLocked holds
    OutOfRange,     // outside minimum/maximum, off the increment, or too long
    InvalidValue,   // not a value of the feature's type, or not an entry of the enumeration
    DeviceFailure,  // the camera refused an access; moduleStatus says how
};

struct FeatureStatus {
    FeatureOutcome outcome = FeatureOutcome::Ok;
    int moduleStatus = 0;  // status of the failed module call, for DeviceFailure and NoDescription
    std::string message;
    bool Ok() const { return outcome == FeatureOutcome::Ok; }
};

// One line of a feature listing.
struct FeatureLine {
    int depth = 0;  // nesting below the Root category
    bool category = false;
    std::string name;
    std::string type;    // the description's element name: Integer, Enumeration, Float ...
    std::string access;  // RO, RW, WO, with "locked" when pIsLocked holds
    std::string value;   // empty when not readable
    std::string range;   // range, entries or length limit
};

// A parsed "Local:" description location.
struct DescriptionLocation {
    std::string fileName;
    uint64_t address = 0;
    uint64_t length = 0;
};

// Parses "Local:<file name>;<address hex>;<length hex>[?SchemaVersion=...]"; false when the text
// is not of that form.
bool ParseDescriptionLocation(const std::string& text, DescriptionLocation& location);

class Features {
public:
    // Descriptions larger than this are refused.
    static constexpr uint64_t kMaxDescriptionBytes = 64ull << 20;

    explicit Features(Lumora::IDevice* device);
    ~Features();
    Features(const Features&) = delete;
    Features& operator=(const Features&) = delete;

    // Reads the description location (GetInfo 8), then the description from the address it names
    // (unzipped when its file name ends in .zip), and parses it.
    FeatureStatus Load();
    const DescriptionLocation& Location() const { return location_; }

    bool Has(const std::string& name) const;
    FeatureStatus Get(const std::string& name, std::string& value);
    FeatureStatus GetInteger(const std::string& name, int64_t& value);
    // Range, entries or length limit of a feature, as shown to the user; empty when it has none.
    std::string Limits(const std::string& name);
    // Checks and writes; commands are executed (the value must be "execute" or "1").
    FeatureStatus Set(const std::string& name, const std::string& value);
    FeatureStatus Execute(const std::string& name);
    // Every implemented feature under the Root category, depth first.
    std::vector<FeatureLine> List();

private:
    ArvGcFeatureNode* Find(const std::string& name, FeatureStatus& status) const;
    FeatureStatus Readable(ArvGcFeatureNode* node, const std::string& name);
    FeatureStatus FromError(GError*& error, const std::string& what);
    void ListCategory(const std::string& name, int depth, std::vector<FeatureLine>& lines,
                      std::vector<std::string>& path);

    Lumora::IDevice* device_;
    std::unique_ptr<ModulePort> port_;
    ArvGc* gc_ = nullptr;
    std::string xml_;
    DescriptionLocation location_;
};

}  // namespace KovonGrab
