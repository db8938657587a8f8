#include "Features.h"

#include <zip.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ModuleHost.h"

namespace KovonGrab {
namespace {

bool ParseHex(const std::string& text, uint64_t& value) {
    if (text.empty() || text.size() > 16) return false;
    for (char c : text)
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    value = std::strtoull(text.c_str(), nullptr, 16);
    return true;
}

bool EndsWithNoCase(const std::string& text, const std::string& tail) {
    if (text.size() < tail.size()) return false;
    return std::equal(tail.begin(), tail.end(), text.end() - static_cast<std::ptrdiff_t>(tail.size()),
                      [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) == b; });
}

// The first .xml member of a zip archive held in memory.
bool Unzip(const std::string& archive, std::string& xml, std::string& error) {
    zip_error_t zipError;
    zip_error_init(&zipError);
    zip_source_t* source = zip_source_buffer_create(archive.data(), archive.size(), 0, &zipError);
    zip_t* zip = source != nullptr ? zip_open_from_source(source, ZIP_RDONLY, &zipError) : nullptr;
    if (zip == nullptr) {
        if (source != nullptr) zip_source_free(source);
        error = std::string("the zipped description cannot be opened: ") + zip_error_strerror(&zipError);
        zip_error_fini(&zipError);
        return false;
    }
    zip_error_fini(&zipError);
    bool found = false;
    const zip_int64_t entries = zip_get_num_entries(zip, 0);
    for (zip_int64_t i = 0; i < entries && !found; ++i) {
        zip_stat_t st;
        if (zip_stat_index(zip, static_cast<zip_uint64_t>(i), 0, &st) != 0 || st.name == nullptr) continue;
        if (!EndsWithNoCase(st.name, ".xml")) continue;
        if (!(st.valid & ZIP_STAT_SIZE) || st.size > Features::kMaxDescriptionBytes) {
            error = "the zipped description is too large";
            break;
        }
        zip_file_t* file = zip_fopen_index(zip, static_cast<zip_uint64_t>(i), 0);
        if (file == nullptr) break;
        xml.assign(static_cast<size_t>(st.size), '\0');
        const zip_int64_t got = zip_fread(file, xml.data(), st.size);
        zip_fclose(file);
        found = got >= 0 && static_cast<zip_uint64_t>(got) == st.size;
        if (!found) error = "the zipped description is damaged";
    }
    zip_close(zip);
    if (!found && error.empty()) error = "the zipped description holds no .xml file";
    return found;
}

const char* AccessText(ArvGcAccessMode mode) {
    switch (mode) {
        case ARV_GC_ACCESS_MODE_RO:
            return "RO";
        case ARV_GC_ACCESS_MODE_WO:
            return "WO";
        case ARV_GC_ACCESS_MODE_RW:
            return "RW";
        default:
            return "NA";
    }
}

std::string FormatDouble(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.10g", value);
    return text;
}

std::string NodeType(ArvGcFeatureNode* node) {
    return arv_dom_node_get_node_name(ARV_DOM_NODE(node));
}

bool Writable(ArvGcAccessMode mode) {
    return mode == ARV_GC_ACCESS_MODE_RW || mode == ARV_GC_ACCESS_MODE_WO;
}
bool ReadableMode(ArvGcAccessMode mode) {
    return mode == ARV_GC_ACCESS_MODE_RW || mode == ARV_GC_ACCESS_MODE_RO;
}

FeatureStatus Outcome(FeatureOutcome outcome, std::string message) {
    FeatureStatus status;
    status.outcome = outcome;
    status.message = std::move(message);
    return status;
}

std::vector<std::string> AvailableEntries(ArvGcEnumeration* enumeration, GError** error) {
    std::vector<std::string> names;
    guint count = 0;
    const char** values = arv_gc_enumeration_dup_available_string_values(enumeration, &count, error);
    if (values == nullptr) return names;
    for (guint i = 0; i < count; ++i) names.emplace_back(values[i]);
    g_free(values);
    return names;
}

}  // namespace

bool ParseDescriptionLocation(const std::string& text, DescriptionLocation& location) {
    static const std::string kPrefix = "local:";
    if (text.size() <= kPrefix.size()) return false;
    for (size_t i = 0; i < kPrefix.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(text[i])) != kPrefix[i]) return false;
    std::string rest = text.substr(kPrefix.size());
    rest = rest.substr(0, rest.find('?'));
    const size_t first = rest.find(';');
    const size_t second = first == std::string::npos ? first : rest.find(';', first + 1);
    if (first == 0 || second == std::string::npos || rest.find(';', second + 1) != std::string::npos)
        return false;
    DescriptionLocation parsed;
    parsed.fileName = rest.substr(0, first);
    if (!ParseHex(rest.substr(first + 1, second - first - 1), parsed.address) ||
        !ParseHex(rest.substr(second + 1), parsed.length))
        return false;
    location = parsed;
    return true;
}

Features::Features(Lumora::IDevice* device) : device_(device), port_(std::make_unique<ModulePort>(device)) {}

Features::~Features() {
    if (gc_ != nullptr) g_object_unref(gc_);
}

FeatureStatus Features::Load() {
    FeatureStatus status;
    status.outcome = FeatureOutcome::NoDescription;
    Lumora::u64 size = 0;
    int rc = device_->GetInfo(8, nullptr, size);
    std::string locationText;
    if (rc == 0 && size > 0 && size <= 4096) {
        std::vector<char> text(static_cast<size_t>(size), '\0');
        rc = device_->GetInfo(8, text.data(), size);
        if (rc == 0) locationText.assign(text.data(), strnlen(text.data(), text.size()));
    }
    if (rc != 0 || locationText.empty()) {
        status.moduleStatus = rc;
        status.message =
            "the camera does not tell where its register description is (status " + std::to_string(rc) + ")";
        return status;
    }
    if (!ParseDescriptionLocation(locationText, location_)) {
        status.message = "the register description location \"" + locationText + "\" is not a local one";
        return status;
    }
    if (location_.length == 0 || location_.length > kMaxDescriptionBytes) {
        status.message = location_.length == 0 ? "the camera offers no register description (its length is 0)"
                                               : "the register description is too large (" +
                                                     std::to_string(location_.length) + " bytes)";
        return status;
    }
    std::string bytes(static_cast<size_t>(location_.length), '\0');
    Lumora::u64 length = location_.length;
    rc = device_->GetParam(location_.address, bytes.data(), length);
    if (rc != 0 || length > location_.length) {
        status.moduleStatus = rc;
        status.message = "the register description cannot be read (status " + std::to_string(rc) + ")";
        return status;
    }
    bytes.resize(static_cast<size_t>(length));
    if (EndsWithNoCase(location_.fileName, ".zip")) {
        if (!Unzip(bytes, xml_, status.message)) return status;
    } else {
        // A description read from a padded block ends at its first NUL.
        xml_ = bytes.substr(0, bytes.find('\0'));
    }
    if (gc_ != nullptr) g_object_unref(gc_);
    gc_ = arv_gc_new(port_->Device(), xml_.data(), xml_.size());
    if (gc_ == nullptr || arv_gc_get_node(gc_, "Root") == nullptr) {
        status.message = "the register description " + location_.fileName + " does not parse";
        return status;
    }
    return FeatureStatus();
}

ArvGcFeatureNode* Features::Find(const std::string& name, FeatureStatus& status) const {
    ArvGcNode* node = gc_ != nullptr ? arv_gc_get_node(gc_, name.c_str()) : nullptr;
    if (node == nullptr || !ARV_IS_GC_FEATURE_NODE(node) || ARV_IS_GC_ENUM_ENTRY(node)) {
        status = Outcome(FeatureOutcome::UnknownFeature, "the camera has no feature \"" + name + "\"");
        return nullptr;
    }
    return ARV_GC_FEATURE_NODE(node);
}

bool Features::Has(const std::string& name) const {
    FeatureStatus ignored;
    return Find(name, ignored) != nullptr;
}

FeatureStatus Features::FromError(GError*& error, const std::string& what) {
    FeatureStatus status;
    if (port_->LastFailure() != 0) {
        status.outcome = FeatureOutcome::DeviceFailure;
        status.moduleStatus = port_->LastFailure();
        status.message =
            what + ": the camera refused the access (status " + std::to_string(status.moduleStatus) + ")";
    } else {
        status.outcome = FeatureOutcome::InvalidValue;
        status.message =
            what + ": " + (error != nullptr ? error->message : "the description cannot evaluate it");
    }
    g_clear_error(&error);
    return status;
}

FeatureStatus Features::Readable(ArvGcFeatureNode* node, const std::string& name) {
    GError* error = nullptr;
    port_->ResetFailure();
    const bool implemented = arv_gc_feature_node_is_implemented(node, &error);
    if (error != nullptr) return FromError(error, name);
    const bool available = implemented && arv_gc_feature_node_is_available(node, &error);
    if (error != nullptr) return FromError(error, name);
    if (!available)
        return Outcome(FeatureOutcome::NotAvailable, "\"" + name + "\" is not available on this camera now");
    return FeatureStatus();
}

FeatureStatus Features::Get(const std::string& name, std::string& value) {
    FeatureStatus status;
    ArvGcFeatureNode* node = Find(name, status);
    if (node == nullptr) return status;
    status = Readable(node, name);
    if (!status.Ok()) return status;
    if (ARV_IS_GC_CATEGORY(node) || ARV_IS_GC_COMMAND(node) ||
        !ReadableMode(arv_gc_feature_node_get_actual_access_mode(node)))
        return Outcome(FeatureOutcome::NotReadable, "\"" + name + "\" cannot be read");
    GError* error = nullptr;
    port_->ResetFailure();
    std::string text;
    if (ARV_IS_GC_ENUMERATION(node)) {
        const char* entry = arv_gc_enumeration_get_string_value(ARV_GC_ENUMERATION(node), &error);
        if (entry != nullptr) text = entry;
    } else if (ARV_IS_GC_BOOLEAN(node)) {
        text = arv_gc_boolean_get_value(ARV_GC_BOOLEAN(node), &error) ? "true" : "false";
    } else if (ARV_IS_GC_FLOAT(node)) {
        text = FormatDouble(arv_gc_float_get_value(ARV_GC_FLOAT(node), &error));
    } else if (ARV_IS_GC_INTEGER(node)) {
        text = std::to_string(arv_gc_integer_get_value(ARV_GC_INTEGER(node), &error));
    } else if (ARV_IS_GC_STRING(node)) {
        const char* s = arv_gc_string_get_value(ARV_GC_STRING(node), &error);
        if (s != nullptr) text = Printable(s);
    } else {
        return Outcome(FeatureOutcome::NotReadable,
                       "\"" + name + "\" (" + NodeType(node) + ") has no value to show");
    }
    if (error != nullptr) return FromError(error, "reading \"" + name + "\"");
    value = text;
    return FeatureStatus();
}

FeatureStatus Features::GetInteger(const std::string& name, int64_t& value) {
    FeatureStatus status;
    ArvGcFeatureNode* node = Find(name, status);
    if (node == nullptr) return status;
    status = Readable(node, name);
    if (!status.Ok()) return status;
    GError* error = nullptr;
    port_->ResetFailure();
    if (ARV_IS_GC_ENUMERATION(node)) {
        value = arv_gc_enumeration_get_int_value(ARV_GC_ENUMERATION(node), &error);
    } else if (ARV_IS_GC_INTEGER(node)) {
        value = arv_gc_integer_get_value(ARV_GC_INTEGER(node), &error);
    } else {
        return Outcome(FeatureOutcome::NotReadable, "\"" + name + "\" is not an integer feature");
    }
    if (error != nullptr) return FromError(error, "reading \"" + name + "\"");
    return FeatureStatus();
}

std::string Features::Limits(const std::string& name) {
    FeatureStatus status;
    ArvGcFeatureNode* node = Find(name, status);
    if (node == nullptr) return std::string();
    GError* error = nullptr;
    std::string text;
    if (ARV_IS_GC_ENUMERATION(node)) {
        for (const std::string& entry : AvailableEntries(ARV_GC_ENUMERATION(node), &error))
            text += (text.empty() ? "" : ", ") + entry;
        if (!text.empty()) text = "one of " + text;
    } else if (ARV_IS_GC_BOOLEAN(node) || ARV_IS_GC_COMMAND(node) || ARV_IS_GC_CATEGORY(node)) {
        return std::string();
    } else if (ARV_IS_GC_FLOAT(node)) {
        const double min = arv_gc_float_get_min(ARV_GC_FLOAT(node), &error);
        const double max = error == nullptr ? arv_gc_float_get_max(ARV_GC_FLOAT(node), &error) : 0;
        const char* unit = arv_gc_float_get_unit(ARV_GC_FLOAT(node));
        if (error == nullptr) text = FormatDouble(min) + " to " + FormatDouble(max);
        if (!text.empty() && unit != nullptr && *unit != '\0') text += std::string(" ") + unit;
    } else if (ARV_IS_GC_INTEGER(node)) {
        const int64_t min = arv_gc_integer_get_min(ARV_GC_INTEGER(node), &error);
        const int64_t max = error == nullptr ? arv_gc_integer_get_max(ARV_GC_INTEGER(node), &error) : 0;
        const int64_t inc = error == nullptr ? arv_gc_integer_get_inc(ARV_GC_INTEGER(node), &error) : 1;
        if (error == nullptr) {
            text = std::to_string(min) + " to " + std::to_string(max);
            if (inc > 1) text += ", step " + std::to_string(inc);
        }
    } else if (ARV_IS_GC_STRING(node)) {
        const int64_t max = arv_gc_string_get_max_length(ARV_GC_STRING(node), &error);
        if (error == nullptr && max > 0) text = "at most " + std::to_string(max) + " characters";
    }
    g_clear_error(&error);
    return text;
}

FeatureStatus Features::Set(const std::string& name, const std::string& value) {
    FeatureStatus status;
    ArvGcFeatureNode* node = Find(name, status);
    if (node == nullptr) return status;
    status = Readable(node, name);
    if (!status.Ok()) return status;
    GError* error = nullptr;
    port_->ResetFailure();
    const bool locked = arv_gc_feature_node_is_locked(node, &error);
    if (error != nullptr) return FromError(error, name);
    if (locked)
        return Outcome(FeatureOutcome::Locked, "\"" + name + "\" is locked now and cannot be changed");
    if (ARV_IS_GC_CATEGORY(node))
        return Outcome(FeatureOutcome::NotWritable, "\"" + name + "\" is a category, not a value");
    if (!Writable(arv_gc_feature_node_get_actual_access_mode(node)))
        return Outcome(FeatureOutcome::NotWritable, "\"" + name + "\" is read-only");

    const std::string limits = Limits(name);
    auto outOfRange = [&](const std::string& why) {
        return Outcome(FeatureOutcome::OutOfRange, value + " is " + why + " for \"" + name + "\"" +
                                                       (limits.empty() ? "" : " (" + limits + ")"));
    };
    auto invalid = [&](const std::string& what) {
        return Outcome(FeatureOutcome::InvalidValue, "\"" + value + "\" is not " + what + " for \"" + name +
                                                         "\"" + (limits.empty() ? "" : " (" + limits + ")"));
    };

    port_->ResetFailure();
    if (ARV_IS_GC_COMMAND(node)) {
        if (value != "execute" && value != "1") return invalid("\"execute\" or 1");
        arv_gc_command_execute(ARV_GC_COMMAND(node), &error);
    } else if (ARV_IS_GC_ENUMERATION(node)) {
        const std::vector<std::string> entries = AvailableEntries(ARV_GC_ENUMERATION(node), &error);
        if (error != nullptr) return FromError(error, name);
        if (std::find(entries.begin(), entries.end(), value) == entries.end()) return invalid("an entry");
        arv_gc_enumeration_set_string_value(ARV_GC_ENUMERATION(node), value.c_str(), &error);
    } else if (ARV_IS_GC_BOOLEAN(node)) {
        bool flag;
        if (value == "true" || value == "1" || value == "on")
            flag = true;
        else if (value == "false" || value == "0" || value == "off")
            flag = false;
        else
            return invalid("true or false");
        arv_gc_boolean_set_value(ARV_GC_BOOLEAN(node), flag, &error);
    } else if (ARV_IS_GC_FLOAT(node)) {
        char* end = nullptr;
        errno = 0;
        const double v = std::strtod(value.c_str(), &end);
        if (value.empty() || end == nullptr || *end != '\0' || errno == ERANGE || !std::isfinite(v))
            return invalid("a number");
        const double min = arv_gc_float_get_min(ARV_GC_FLOAT(node), &error);
        const double max = error == nullptr ? arv_gc_float_get_max(ARV_GC_FLOAT(node), &error) : 0;
        if (error != nullptr) return FromError(error, name);
        if (v < min || v > max) return outOfRange("out of range");
        arv_gc_float_set_value(ARV_GC_FLOAT(node), v, &error);
    } else if (ARV_IS_GC_INTEGER(node)) {
        char* end = nullptr;
        errno = 0;
        const long long v = std::strtoll(value.c_str(), &end, 0);
        if (value.empty() || end == nullptr || *end != '\0' || errno == ERANGE) return invalid("an integer");
        const int64_t min = arv_gc_integer_get_min(ARV_GC_INTEGER(node), &error);
        const int64_t max = error == nullptr ? arv_gc_integer_get_max(ARV_GC_INTEGER(node), &error) : 0;
        const int64_t inc = error == nullptr ? arv_gc_integer_get_inc(ARV_GC_INTEGER(node), &error) : 1;
        if (error != nullptr) return FromError(error, name);
        if (v < min || v > max) return outOfRange("out of range");
        // The distance from the minimum, computed without overflow: both lie in [min, max].
        if (inc > 1 &&
            (static_cast<uint64_t>(v) - static_cast<uint64_t>(min)) % static_cast<uint64_t>(inc) != 0)
            return outOfRange("off the increment");
        arv_gc_integer_set_value(ARV_GC_INTEGER(node), v, &error);
    } else if (ARV_IS_GC_STRING(node)) {
        const int64_t max = arv_gc_string_get_max_length(ARV_GC_STRING(node), &error);
        if (error != nullptr) return FromError(error, name);
        if (max >= 0 && static_cast<int64_t>(value.size()) > max) return outOfRange("too long");
        arv_gc_string_set_value(ARV_GC_STRING(node), value.c_str(), &error);
    } else {
        return Outcome(FeatureOutcome::NotWritable,
                       "\"" + name + "\" (" + NodeType(node) + ") cannot be set by value");
    }
    if (error != nullptr) return FromError(error, "writing \"" + name + "\"");
    return FeatureStatus();
}

FeatureStatus Features::Execute(const std::string& name) {
    FeatureStatus status;
    ArvGcFeatureNode* node = Find(name, status);
    if (node == nullptr) return status;
    if (!ARV_IS_GC_COMMAND(node))
        return Outcome(FeatureOutcome::InvalidValue, "\"" + name + "\" is not a command");
    return Set(name, "execute");
}

std::vector<FeatureLine> Features::List() {
    std::vector<FeatureLine> lines;
    std::vector<std::string> path;
    if (gc_ != nullptr) ListCategory("Root", 0, lines, path);
    return lines;
}

void Features::ListCategory(const std::string& name, int depth, std::vector<FeatureLine>& lines,
                            std::vector<std::string>& path) {
    // A description whose categories name each other would otherwise never end.
    if (std::find(path.begin(), path.end(), name) != path.end() || depth > 16) return;
    ArvGcNode* node = arv_gc_get_node(gc_, name.c_str());
    if (node == nullptr || !ARV_IS_GC_CATEGORY(node)) return;
    path.push_back(name);
    for (const GSList* it = arv_gc_category_get_features(ARV_GC_CATEGORY(node)); it != nullptr;
         it = it->next) {
        const std::string child = static_cast<const char*>(it->data);
        ArvGcNode* childNode = arv_gc_get_node(gc_, child.c_str());
        if (childNode == nullptr || !ARV_IS_GC_FEATURE_NODE(childNode)) continue;
        ArvGcFeatureNode* feature = ARV_GC_FEATURE_NODE(childNode);
        GError* error = nullptr;
        const bool implemented = arv_gc_feature_node_is_implemented(feature, &error);
        g_clear_error(&error);
        if (!implemented) continue;
        FeatureLine line;
        line.depth = depth;
        line.name = child;
        line.type = NodeType(feature);
        if (ARV_IS_GC_CATEGORY(childNode)) {
            line.category = true;
            lines.push_back(line);
            ListCategory(child, depth + 1, lines, path);
            continue;
        }
        const ArvGcAccessMode mode = arv_gc_feature_node_get_actual_access_mode(feature);
        line.access = AccessText(mode);
        const bool locked = arv_gc_feature_node_is_locked(feature, &error);
        g_clear_error(&error);
        if (locked) line.access += " locked";
        std::string value;
        if (!ARV_IS_GC_COMMAND(childNode) && ReadableMode(mode) && Get(child, value).Ok()) line.value = value;
        line.range = Limits(child);
        lines.push_back(line);
    }
    path.pop_back();
}

}  // namespace KovonGrab
