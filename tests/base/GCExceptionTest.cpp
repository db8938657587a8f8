#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <typeinfo>
#include <vector>

#include "Base/GCException.h"

namespace {

using GenICam::GenericException;

struct MessageCase {
    const char* description;
    const char* file;
    unsigned int line;
    const char* entryPoint;
    const char* node;
    const char* type;
    const char* expected;
};

TEST(GCException, MessageAssembly) {
    const MessageCase cases[] = {
        // no type, node or entry point: nothing between the description and the file clause
        {"Bad value", "..\\..\\Include\\Base\\GCString", 12, "", "", "",
         "Bad value (file 'GCString', line 12)"},
        {"Bad value", "src/a.cpp", 7, nullptr, nullptr, nullptr, "Bad value (file 'a.cpp', line 7)"},
        // the file name is cut after the last separator of either kind
        {"d", "a/b\\c/d.cpp", 1, "", "", "", "d (file 'd.cpp', line 1)"},
        {"d", "a\\b/c\\e.cpp", 1, "", "", "", "d (file 'e.cpp', line 1)"},
        {"d", "plain.cpp", 4294967295u, "", "", "", "d (file 'plain.cpp', line 4294967295)"},
        {"d", "dir/", 0, "", "", "", "d (file '', line 0)"},
        {nullptr, nullptr, 0, nullptr, nullptr, nullptr, " (file '', line 0)"},
        // each optional clause alone, then all together in their fixed order
        {"d", "f", 2, "", "", "RuntimeException", "d : RuntimeException thrown (file 'f', line 2)"},
        {"d", "f", 2, "", "Gain", "", "d in node 'Gain' (file 'f', line 2)"},
        {"d", "f", 2, "SetValue", "", "", "d while calling 'SetValue' (file 'f', line 2)"},
        {"Value out of range", "/x/Node.cpp", 99, "SetValue", "Gain", "OutOfRangeException",
         "Value out of range : OutOfRangeException thrown in node 'Gain' while calling 'SetValue' "
         "(file 'Node.cpp', line 99)"},
    };
    for (const MessageCase& c : cases) {
        const GenericException e(c.description, c.file, c.line, c.entryPoint, c.node, c.type);
        EXPECT_STREQ(c.expected, e.what());
        EXPECT_STREQ(c.description != nullptr ? c.description : "", e.GetDescription());
        EXPECT_STREQ(c.file != nullptr ? c.file : "", e.GetSourceFileName());  // kept whole
        EXPECT_EQ(c.line, e.GetSourceLine());
    }

    EXPECT_STREQ("d (file 'b.cpp', line 3)", GenericException("d", "a/b.cpp", 3).what());
    EXPECT_STREQ("d : T thrown (file 'b.cpp', line 3)", GenericException("d", "a/b.cpp", 3, "T").what());
}

TEST(GCException, CopyAndAssignmentKeepEveryField) {
    const GenericException original("desc", "dir/file.cpp", 5, "Entry", "Node", "Type");
    const GenericException copy(original);
    GenericException assigned("other", "o.cpp", 1);
    assigned = original;
    for (const GenericException* e : {&copy, static_cast<const GenericException*>(&assigned)}) {
        EXPECT_STREQ(original.what(), e->what());
        EXPECT_STREQ("desc", e->GetDescription());
        EXPECT_STREQ("dir/file.cpp", e->GetSourceFileName());
        EXPECT_EQ(5u, e->GetSourceLine());
    }
}

// Each derived class: all three constructors assemble the same message as the base class, the
// object is caught as GenericException and std::exception, and copies keep the message.
template <typename T>
class GCDerivedException : public ::testing::Test {};

using DerivedTypes =
    ::testing::Types<GenICam::InvalidArgumentException, GenICam::OutOfRangeException,
                     GenICam::PropertyException, GenICam::RuntimeException, GenICam::LogicalErrorException,
                     GenICam::AccessException, GenICam::TimeoutException, GenICam::DynamicCastException>;
TYPED_TEST_SUITE(GCDerivedException, DerivedTypes);

TYPED_TEST(GCDerivedException, ConstructsCatchesAndCopies) {
    const std::vector<std::function<void()>> throwers = {
        [] { throw TypeParam("d", "p/f.cpp", 1); },
        [] { throw TypeParam("d", "p/f.cpp", 1, "Kind"); },
        [] { throw TypeParam("d", "p/f.cpp", 1, "Entry", "Node", "Kind"); },
    };
    const char* const expected[] = {
        "d (file 'f.cpp', line 1)",
        "d : Kind thrown (file 'f.cpp', line 1)",
        "d : Kind thrown in node 'Node' while calling 'Entry' (file 'f.cpp', line 1)",
    };
    for (size_t i = 0; i < throwers.size(); ++i) {
        try {
            throwers[i]();
            ADD_FAILURE() << "no exception";
        } catch (const GenericException& e) {
            EXPECT_STREQ(expected[i], e.what());
            EXPECT_EQ(typeid(TypeParam), typeid(e));
            const TypeParam& derived = dynamic_cast<const TypeParam&>(e);
            TypeParam copy(derived);
            EXPECT_STREQ(expected[i], copy.what());
            TypeParam assigned("x", "y", 0);
            assigned = derived;
            EXPECT_STREQ(expected[i], assigned.what());
            EXPECT_STREQ("p/f.cpp", assigned.GetSourceFileName());
        }
    }
    try {
        throw TypeParam(nullptr, nullptr, 2);
    } catch (const std::exception& e) {
        EXPECT_STREQ(" (file '', line 2)", e.what());
    }
}

}  // namespace
