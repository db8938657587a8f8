#include "platform/NamedMutex.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/ProbeProcess.h"

namespace Kovon::Platform {
namespace {

using Result = NamedMutex::Result;
using Test::Probe;
using Test::StartPipe;
using Test::UniqueName;

TEST(NamedMutex, SecondObjectInSameProcessSeesExisting) {
    const std::string name = UniqueName("RT-GA47E_SN_12346789ABC");
    NamedMutex first;
    NamedMutex second;
    ASSERT_EQ(first.Create(name), Result::Created);
    EXPECT_TRUE(first.IsHeld());
    EXPECT_EQ(second.Create(name), Result::AlreadyExists);
    EXPECT_FALSE(second.IsHeld());
    // A holder cannot take a second name, and that refusal changes nothing.
    EXPECT_EQ(first.Create(name + "x"), Result::Failed);
    EXPECT_TRUE(first.IsHeld());

    first.Close();
    EXPECT_FALSE(first.IsHeld());
    EXPECT_EQ(second.Create(name), Result::Created);
    {
        NamedMutex third;
        EXPECT_EQ(third.Create(name), Result::AlreadyExists);
    }
    second.Close();
    second.Close();  // harmless
    {
        NamedMutex scoped;
        EXPECT_EQ(scoped.Create(name), Result::Created);
    }  // the destructor frees the name
    EXPECT_EQ(first.Create(name), Result::Created);
}

// Any text works as a name, and distinct texts never share a mutex: close variants, texts with
// NUL bytes, and texts on both sides of the length past which names are digested.
TEST(NamedMutex, DistinctNamesAreIndependent) {
    const std::string base = UniqueName("name");
    const std::string longBase = base + std::string(NamedMutex::kMaxRawName, 'L');
    const std::vector<std::string> names = {
        base,
        base + "A",
        base + "a",
        base + std::string(1, '\0'),
        base + std::string(1, '\0') + "z",
        base + "/../x",
        base + "\xC3\xA9\xFF",
        base + std::string(NamedMutex::kMaxRawName - base.size(), 'm'),
        base + std::string(NamedMutex::kMaxRawName - base.size() + 1, 'm'),
        longBase,
        longBase + "1",
        longBase + "2",
        std::string(4096, 'q') + base,
    };
    std::vector<NamedMutex> held(names.size());
    for (std::size_t i = 0; i < names.size(); ++i) {
        EXPECT_EQ(held[i].Create(names[i]), Result::Created) << "name " << i;
    }
    for (std::size_t i = 0; i < names.size(); ++i) {
        NamedMutex again;
        EXPECT_EQ(again.Create(names[i]), Result::AlreadyExists) << "name " << i;
    }
}

TEST(NamedMutex, NameHeldByAnotherProcessIsFreedWhenItIsKilled) {
    const std::string name = UniqueName("SN_0042");
    StartPipe start;
    Probe holder({"mutex", name}, start.ReadEnd());
    ASSERT_TRUE(holder.Started());
    ASSERT_TRUE(start.Release(1));
    ASSERT_EQ(holder.ReadLine(), "created");

    NamedMutex local;
    EXPECT_EQ(local.Create(name), Result::AlreadyExists);

    holder.Kill();  // SIGKILL: no chance to clean up
    EXPECT_EQ(local.Create(name), Result::Created);

    // And the other way round: a name held here is seen as taken by another process.
    Probe other({"mutex", name}, start.ReadEnd());
    ASSERT_TRUE(start.Release(1));
    EXPECT_EQ(other.ReadLine(), "exists");
}

}  // namespace
}  // namespace Kovon::Platform
