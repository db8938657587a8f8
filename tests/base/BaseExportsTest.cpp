// The module exports the GenICam base types: the host resolves their symbols in the loaded module
// and, linked against it, uses the classes and catches their exceptions across the boundary.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "Base/GCException.h"
#include "Base/GCString.h"
#include "Base/GCStringVector.h"
#include "support/ModuleLoader.h"

namespace {

TEST(BaseExports, ModuleExportsTheClassSymbols) {
    const char* const symbols[] = {
        "_ZN7GenICam8gcstringC1Ev",                // gcstring()
        "_ZN7GenICam8gcstringC1EPKc",              // gcstring(const char*)
        "_ZN7GenICam8gcstringC1EPKw",              // gcstring(const wchar_t*)
        "_ZNK7GenICam8gcstring5w_strEv",           // gcstring::w_str()
        "_ZN7GenICam8gcstring4nposE",              // gcstring::npos
        "_ZN7GenICam8gcstring7gcwcharD1Ev",        // gcstring::gcwchar::~gcwchar()
        "_ZN7GenICam8gcstringnwEm",                // gcstring::operator new
        "_ZN7GenICamplEPKcRKNS_8gcstringE",        // operator+(const char*, const gcstring&)
        "_ZN7GenICam7getlineERSiRNS_8gcstringEc",  // getline(istream&, gcstring&, char)
        "_ZTVN7GenICam8gcstringE",                 // gcstring vtable
        "_ZN7GenICam15gcstring_vectorC1Ev",        // gcstring_vector()
        "_ZNK7GenICam15gcstring_vector2atEm",      // gcstring_vector::at(size_t) const
        "_ZN7GenICam15gcstring_vector5eraseENS0_8iteratorE",
        "_ZN7GenICam15gcstring_vector8iteratorppEv",  // iterator::operator++()
        "_ZNK7GenICam15gcstring_vector14const_iteratorltERKS1_",
        "_ZN7GenICamplElRKNS_15gcstring_vector14const_iteratorE",
        "_ZTVN7GenICam15gcstring_vectorE",
        "_ZN7GenICam16GenericExceptionC1EPKcS2_jS2_S2_S2_",
        "_ZNK7GenICam16GenericException4whatEv",
        "_ZTIN7GenICam16GenericExceptionE",
        "_ZN7GenICam24InvalidArgumentExceptionC1EPKcS2_j",
        "_ZN7GenICam19OutOfRangeExceptionC1EPKcS2_j",
        "_ZN7GenICam17PropertyExceptionC1EPKcS2_j",
        "_ZN7GenICam16RuntimeExceptionC1EPKcS2_j",
        "_ZN7GenICam21LogicalErrorExceptionC1EPKcS2_j",
        "_ZN7GenICam15AccessExceptionC1EPKcS2_j",
        "_ZN7GenICam16TimeoutExceptionC1EPKcS2_j",
        "_ZN7GenICam20DynamicCastExceptionC1EPKcS2_j",
        "_ZTIN7GenICam16RuntimeExceptionE",
        "_ZTIN7GenICam20DynamicCastExceptionE",
    };
    const KovonTest::ModuleLoader& module = KovonTest::ModuleLoader::Instance();
    for (const char* symbol : symbols) {
        EXPECT_NE(nullptr, module.Symbol(symbol)) << symbol;
    }
}

TEST(BaseExports, HostUsesTheClassesAndCatchesTheirExceptions) {
    GenICam::gcstring_vector names;
    names.push_back(GenICam::gcstring("Gain"));
    names.push_back("Exposure" + GenICam::gcstring("Time"));
    EXPECT_EQ("ExposureTime", names.at(1).GetInternalString());
    EXPECT_THROW(names.at(2), std::out_of_range);

    const wchar_t lone[] = {0xD800, 0};
    try {
        GenICam::gcstring bad(lone);
        ADD_FAILURE() << "no exception";
    } catch (const GenICam::GenericException& e) {
        EXPECT_NE(nullptr, dynamic_cast<const GenICam::RuntimeException*>(&e));
        EXPECT_EQ(631u, e.GetSourceLine());
    }
}

}  // namespace
