#include "DescriptionWriter.h"

#include <cctype>
#include <cstdio>
#include <map>
#include <set>
#include <stdexcept>
#include <utility>
#include <vector>

namespace Kovon::Descriptions {

namespace {

constexpr const char* kPort = "Device";
constexpr const char* kUserSetLoad = "UserSetLoad";

std::string Escape(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string Hex(unsigned long long v, int width) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%0*llX", width, v);
    return buf;
}

// Enumeration values are written in decimal, except pixel-format codes, which read best in hex.
std::string EntryValue(long long v) {
    return v > 0xFFFF ? Hex(static_cast<unsigned long long>(v), 8) : std::to_string(v);
}

bool IsLiteral(const char* v) {
    return v[0] == '-' || std::isdigit(static_cast<unsigned char>(v[0])) != 0;
}

const char* AccessText(Access a) {
    switch (a) {
        case Access::RO:
            return "RO";
        case Access::WO:
            return "WO";
        case Access::RW:
            return "RW";
    }
    return "RO";
}

class Xml {
public:
    void Open(const std::string& tag,
              const std::vector<std::pair<std::string, std::string>>& attributes = {}) {
        Indent();
        out_ += "<" + tag;
        for (const auto& [name, value] : attributes) out_ += " " + name + "=\"" + Escape(value) + "\"";
        out_ += ">\n";
        ++depth_;
    }
    void Close(const std::string& tag) {
        --depth_;
        Indent();
        out_ += "</" + tag + ">\n";
    }
    void Leaf(const std::string& tag, const std::string& text) {
        Indent();
        out_ += "<" + tag + ">" + Escape(text) + "</" + tag + ">\n";
    }
    void LeafWithName(const std::string& tag, const std::string& name, const std::string& text) {
        Indent();
        out_ += "<" + tag + " Name=\"" + Escape(name) + "\">" + Escape(text) + "</" + tag + ">\n";
    }
    void Raw(const std::string& text) { out_ += text; }
    const std::string& Text() const { return out_; }

private:
    void Indent() { out_.append(static_cast<size_t>(depth_) * 2, ' '); }
    std::string out_;
    int depth_ = 0;
};

using Attributes = std::vector<std::pair<std::string, std::string>>;

Attributes NodeAttributes(const std::string& name, const char* nameSpace) {
    Attributes a{{"Name", name}};
    if (nameSpace != nullptr) a.emplace_back("NameSpace", nameSpace);
    return a;
}

// Writes one description and records the names it defines and the names it refers to, so that
// the result can be checked before it is handed out.
class Writer {
public:
    explicit Writer(const Resource& r) : r_(r) {}

    std::string Run() {
        Header();
        for (const Category& c : Categories())
            if (c.where.Has(r_)) WriteCategory(c);
        for (const RegisterRow& row : Registers()) {
            if (!row.where.Has(r_)) continue;
            for (const Feature& f : row.features)
                if (row.WhereOf(f).Has(r_)) WriteFeature(f, row.ListedOf(f).Has(r_), row.name);
            WriteRegister(row);
        }
        for (const Feature& f : UpdateCommands())
            if (f.where && f.where->Has(r_)) WriteFeature(f, f.listed ? f.listed->Has(r_) : true, "");
        for (const Formula& f : Formulas())
            if (f.where.Has(r_)) WriteFormula(f);
        WritePort();
        xml_.Close("RegisterDescription");
        Check();
        return xml_.Text();
    }

private:
    void Header() {
        xml_.Raw("<?xml version=\"1.0\" encoding=\"utf-8\"?>\n");
        xml_.Open("RegisterDescription", {{"ModelName", "USB"},
                                          {"VendorName", "Tarvek"},
                                          {"ToolTip", "Tarvek USB 2.0 Camera"},
                                          {"StandardNameSpace", "USB"},
                                          {"SchemaMajorVersion", "1"},
                                          {"SchemaMinorVersion", "1"},
                                          {"SchemaSubMinorVersion", "0"},
                                          {"MajorVersion", "1"},
                                          {"MinorVersion", "0"},
                                          {"SubMinorVersion", "0"},
                                          {"ProductGuid", r_.productGuid},
                                          {"VersionGuid", r_.versionGuid},
                                          {"xmlns", "http://www.genicam.org/GenApi/Version_1_1"},
                                          {"xmlns:xsi", "http://www.w3.org/2001/XMLSchema-instance"},
                                          {"xsi:schemaLocation",
                                           "http://www.genicam.org/GenApi/Version_1_1 "
                                           "http://www.genicam.org/GenApi/GenApiSchema_Version_1_1.xsd"}});
    }

    void Define(const std::string& name) {
        if (!defined_.insert(name).second) throw std::runtime_error("node " + name + " defined twice");
    }
    void Refer(const std::string& name, const std::string& from) { references_.emplace_back(name, from); }
    void ReferLeaf(const std::string& tag, const std::string& name, const std::string& from) {
        Refer(name, from);
        xml_.Leaf(tag, name);
    }

    void WriteCategory(const Category& c) {
        Define(c.name);
        xml_.Open("Category", NodeAttributes(c.name, c.custom ? "Custom" : "Standard"));
        xml_.Leaf("ToolTip",
                  c.name == "Root" ? "All features of the camera." : DisplayNameOf(c.name) + " features.");
        xml_.Leaf("DisplayName", DisplayNameOf(c.name));
        for (const std::string& name : c.features) {
            if (!IsListedHere(name, c.name)) continue;
            ReferLeaf("pFeature", name, c.name);
        }
        xml_.Close("Category");
    }

    // Whether `name` appears in this description's category `category`; also checks that the
    // name is known to the table at all, so that a misspelt list entry stops the build.
    bool IsListedHere(const std::string& name, const std::string& category) {
        for (const Category& c : Categories())
            if (c.name == name) return c.where.Has(r_);
        for (const RegisterRow& row : Registers()) {
            if (row.isFeature && row.name == name) return Listed(name, category, row.where.Has(r_));
            for (const Feature& f : row.features)
                if (f.name == name)
                    return Listed(name, category, row.where.Has(r_) && row.ListedOf(f).Has(r_));
        }
        for (const Feature& f : UpdateCommands())
            if (f.name == name)
                return Listed(name, category,
                              f.where && f.where->Has(r_) && (!f.listed || f.listed->Has(r_)));
        throw std::runtime_error("category " + category + " names unknown feature " + name);
    }
    bool Listed(const std::string& name, const std::string& category, bool listed) {
        if (listed && !listedIn_.emplace(name, category).second)
            throw std::runtime_error("feature " + name + " listed in two categories");
        return listed;
    }

    void Common(const std::string& toolTip, const std::string& name, bool invisible) {
        xml_.Leaf("ToolTip", toolTip);
        xml_.Leaf("DisplayName", DisplayNameOf(name));
        xml_.Leaf("Visibility", invisible ? "Invisible" : "Beginner");
    }

    void Limit(const char* tag, const ByGroup& v, const std::string& from) {
        const char* value = v.For(r_);
        if (value == nullptr) return;
        if (IsLiteral(value))
            xml_.Leaf(tag, value);
        else
            ReferLeaf(std::string("p") + tag, value, from);
    }

    void WriteFeature(const Feature& f, bool listed, const std::string& reg) {
        Define(f.name);
        if (listed) features_.insert(f.name);
        static const std::map<FeatureKind, const char*> tags = {{FeatureKind::Integer, "Integer"},
                                                                {FeatureKind::Float, "Float"},
                                                                {FeatureKind::Enumeration, "Enumeration"},
                                                                {FeatureKind::Boolean, "Boolean"},
                                                                {FeatureKind::Command, "Command"}};
        const char* tag = tags.at(f.kind);
        xml_.Open(tag, NodeAttributes(f.name, f.custom ? "Custom" : "Standard"));
        Common(f.toolTip, f.name, f.invisible);
        if (const char* lock = f.lock.For(r_)) ReferLeaf("pIsLocked", lock, f.name);
        switch (f.kind) {
            case FeatureKind::Integer:
            case FeatureKind::Float:
                ReferLeaf("pValue", reg, f.name);
                Limit("Min", f.min, f.name);
                Limit("Max", f.max, f.name);
                Limit("Inc", f.inc, f.name);
                if (f.unit != nullptr) xml_.Leaf("Unit", f.unit);
                break;
            case FeatureKind::Enumeration: {
                int entries = 0;
                for (const Entry& e : f.entries) {
                    if (!e.where.Has(r_)) continue;
                    ++entries;
                    xml_.Open("EnumEntry", NodeAttributes(e.name, nullptr));
                    xml_.Leaf("DisplayName", DisplayNameOf(e.name));
                    xml_.Leaf("Value", EntryValue(e.value));
                    xml_.Close("EnumEntry");
                }
                if (entries == 0) throw std::runtime_error("enumeration " + f.name + " without entries");
                ReferLeaf("pValue", reg, f.name);
                break;
            }
            case FeatureKind::Boolean:
                ReferLeaf("pValue", reg, f.name);
                xml_.Leaf("OnValue", "1");
                xml_.Leaf("OffValue", "0");
                break;
            case FeatureKind::Command:
                if (reg.empty())
                    xml_.Leaf("Value", "1");
                else
                    ReferLeaf("pValue", reg, f.name);
                xml_.Leaf("CommandValue", std::to_string(f.commandValue));
                break;
        }
        for (const std::string& s : f.selected) ReferLeaf("pSelected", s, f.name);
        xml_.Close(tag);
    }

    void WriteRegister(const RegisterRow& row) {
        Define(row.name);
        if (row.isFeature) features_.insert(row.name);
        static const std::map<RegType, const char*> tags = {
            {RegType::Int, "IntReg"}, {RegType::Float, "FloatReg"}, {RegType::String, "StringReg"}};
        const char* tag = tags.at(row.type);
        const char* nameSpace = row.isFeature || row.standardNameSpace ? "Standard" : nullptr;
        xml_.Open(tag, NodeAttributes(row.name, nameSpace));
        if (row.isFeature) Common(row.toolTip, row.name, false);
        xml_.Leaf("Address", Hex(row.address, 4));
        xml_.Leaf("Length", std::to_string(row.length));
        xml_.Leaf("AccessMode", AccessText(row.AccessFor(r_)));
        ReferLeaf("pPort", kPort, row.name);
        for (const Invalidator& inv : row.invalidators)
            if (inv.where.Has(r_)) ReferLeaf("pInvalidator", inv.node, row.name);
        ReferLeaf("pInvalidator", kUserSetLoad, row.name);
        if (row.type == RegType::Int) xml_.Leaf("Sign", "Unsigned");
        if (row.type != RegType::String) xml_.Leaf("Endianess", "LittleEndian");
        xml_.Close(tag);
    }

    void WriteFormula(const Formula& f) {
        Define(f.name);
        xml_.Open("IntSwissKnife", NodeAttributes(f.name, nullptr));
        for (const auto& [variable, node] : f.variables) {
            Refer(node, f.name);
            xml_.LeafWithName("pVariable", variable, node);
        }
        xml_.Leaf("Formula", f.formula);
        xml_.Close("IntSwissKnife");
    }

    void WritePort() {
        Define(kPort);
        xml_.Open("Port", NodeAttributes(kPort, nullptr));
        xml_.Leaf("ToolTip", "Port giving access to the camera's register map.");
        xml_.Leaf("SwapEndianess", "Yes");
        xml_.Close("Port");
    }

    void Check() const {
        for (const auto& [name, from] : references_)
            if (defined_.count(name) == 0)
                throw std::runtime_error(from + " refers to " + name + ", which description " +
                                         std::to_string(r_.id) + " lacks");
        for (const std::string& f : features_)
            if (listedIn_.count(f) == 0)
                throw std::runtime_error("feature " + f + " is listed in no category");
    }

    const Resource& r_;
    Xml xml_;
    std::set<std::string> defined_;
    std::vector<std::pair<std::string, std::string>> references_;
    std::set<std::string> features_;               // features this description must list
    std::map<std::string, std::string> listedIn_;  // feature -> category
};

}  // namespace

std::string DisplayNameOf(const std::string& name) {
    std::string out;
    for (size_t i = 0; i < name.size(); ++i) {
        const char c = name[i];
        if (i > 0 && std::isupper(static_cast<unsigned char>(c))) {
            const char prev = name[i - 1];
            const bool nextLower =
                i + 1 < name.size() && std::islower(static_cast<unsigned char>(name[i + 1]));
            if (std::islower(static_cast<unsigned char>(prev)) ||
                std::isdigit(static_cast<unsigned char>(prev)) ||
                (std::isupper(static_cast<unsigned char>(prev)) && nextLower))
                out += ' ';
        }
        out += c;
    }
    return out;
}

std::string WriteDescription(const Resource& r) {
    return Writer(r).Run();
}

}  // namespace Kovon::Descriptions
