// The one table from which the seventeen USB 2.0 register descriptions are generated.
//
// Every register node of the emulated map is one row: its address, type, length and access, the
// descriptions it appears in, its invalidators, and the features that point to it with their
// ranges, enumeration entries and locks. What differs between descriptions is written into the
// row as a Scope (which descriptions have it) or a ByGroup value (another value in the
// 752-column descriptions), never as a separate copy of the row.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace Kovon::Descriptions {

// Colour full, colour without strobe, monochrome full, and the 752-column sensor.
enum class Group { C, P, M, D };

enum GroupBit : unsigned { kC = 1u, kP = 2u, kM = 4u, kD = 8u, kAllGroups = kC | kP | kM | kD };

struct Resource {
    int id;
    Group group;
    // Descriptions with identical content share one pair; different content never does, since
    // GenApi consumers may cache a parsed description under its GUID pair.
    const char* productGuid;
    const char* versionGuid;
};

// The descriptions a row, a feature, an entry or an invalidator belongs to.
struct Scope {
    unsigned groups = kAllGroups;
    std::vector<int> plus;   // resources included although their group is not
    std::vector<int> minus;  // resources excluded although their group is
    bool Has(const Resource& r) const;
};

Scope All();
Scope None();
Scope Groups(unsigned groups, std::vector<int> plus = {});
Scope AllBut(unsigned groups);
Scope Only(std::vector<int> resources);

// A value that may differ in the 752-column descriptions. A null pointer means "none".
struct ByGroup {
    const char* normal = nullptr;
    const char* inD = nullptr;
    const char* For(const Resource& r) const;
};
ByGroup Same(const char* v);
ByGroup InD(const char* normal, const char* inD);

enum class RegType { Int, Float, String };
enum class Access { RO, WO, RW };
enum class FeatureKind { Integer, Float, Enumeration, Boolean, Command };

struct Entry {
    std::string name;
    long long value;
    Scope where;
};

struct Invalidator {
    std::string node;
    Scope where;
};

struct Feature {
    std::string name;
    FeatureKind kind = FeatureKind::Integer;
    std::string toolTip;
    std::optional<Scope> where;   // default: the descriptions that have the register
    std::optional<Scope> listed;  // default: where; a category lists the feature only here
    bool custom = false;          // NameSpace "Custom" rather than "Standard"
    bool invisible = false;
    // Integer and Float limits: a literal number or the name of the node that gives the limit.
    ByGroup min, max, inc;
    const char* unit = nullptr;
    ByGroup lock;  // pIsLocked
    std::vector<Entry> entries;
    long long commandValue = 0;
    std::vector<std::string> selected;  // pSelected

    Feature& Tip(std::string t) {
        toolTip = std::move(t);
        return *this;
    }
    Feature& In(Scope s) {
        where = std::move(s);
        return *this;
    }
    Feature& ListedIn(Scope s) {
        listed = std::move(s);
        return *this;
    }
    Feature& Custom() {
        custom = true;
        return *this;
    }
    Feature& Invisible() {
        invisible = true;
        return *this;
    }
    Feature& Range(ByGroup lo, ByGroup hi) {
        min = lo;
        max = hi;
        return *this;
    }
    Feature& Inc(ByGroup v) {
        inc = v;
        return *this;
    }
    Feature& Unit(const char* u) {
        unit = u;
        return *this;
    }
    Feature& Lock(ByGroup v) {
        lock = v;
        return *this;
    }
    Feature& Locked() {
        lock = Same("IsAcquisitionStart");
        return *this;
    }
    Feature& Entries(std::vector<Entry> e) {
        entries = std::move(e);
        return *this;
    }
    Feature& Selects(std::vector<std::string> s) {
        selected = std::move(s);
        return *this;
    }
};

Feature Integer(std::string name);
Feature Float(std::string name);
Feature Enumeration(std::string name);
Feature Boolean(std::string name);
Feature Command(std::string name, long long commandValue);

struct RegisterRow {
    unsigned address = 0;
    std::string name;
    RegType type = RegType::Int;
    unsigned length = 4;
    Access access = Access::RW;
    Scope rw = None();                      // descriptions where a read-only register is read-write
    Scope where;                            // descriptions that have the register
    std::vector<Invalidator> invalidators;  // besides UserSetLoad, which every register has
    bool standardNameSpace = false;
    // A register that is itself a feature (the identity texts, the limits, the payload size).
    bool isFeature = false;
    std::string toolTip;
    std::vector<Feature> features;

    RegisterRow& In(Scope s) {
        where = std::move(s);
        return *this;
    }
    RegisterRow& RwIn(Scope s) {
        rw = std::move(s);
        return *this;
    }
    RegisterRow& InvalidatedBy(std::string node, Scope s = All()) {
        invalidators.push_back({std::move(node), std::move(s)});
        return *this;
    }
    RegisterRow& Standard() {
        standardNameSpace = true;
        return *this;
    }
    RegisterRow& AsFeature(std::string tip) {
        isFeature = true;
        toolTip = std::move(tip);
        return *this;
    }
    RegisterRow& With(Feature f) {
        features.push_back(std::move(f));
        return *this;
    }

    Access AccessFor(const Resource& r) const;
    const Scope& WhereOf(const Feature& f) const { return f.where ? *f.where : where; }
    const Scope& ListedOf(const Feature& f) const { return f.listed ? *f.listed : WhereOf(f); }
};

RegisterRow IntReg(unsigned address, std::string name, Access access);
RegisterRow FloatReg(unsigned address, std::string name, Access access);
RegisterRow StringReg(unsigned address, std::string name, unsigned length, Access access);

// An IntSwissKnife: its variables (variable name, node) and its formula.
struct Formula {
    std::string name;
    std::vector<std::pair<std::string, std::string>> variables;
    std::string formula;
    Scope where;
};

struct Category {
    std::string name;
    bool custom;
    Scope where;
    std::vector<std::string> features;
};

const std::vector<Resource>& Resources();
const Resource* FindResource(int id);
const std::vector<RegisterRow>& Registers();
// Registerless commands that exist only to invalidate; they are listed like features.
const std::vector<Feature>& UpdateCommands();
const std::vector<Formula>& Formulas();
// "Root" first, then its sub-categories in order.
const std::vector<Category>& Categories();

}  // namespace Kovon::Descriptions
