#include "platform/CameraIndexTable.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <bitset>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/ProbeProcess.h"

namespace Kovon::Platform {
namespace {

using Test::Probe;
using Test::StartPipe;
using Test::UniqueName;

class CameraIndexTableTest : public ::testing::Test {
protected:
    void TearDown() override { unlink(path_.c_str()); }

    std::bitset<CameraIndexTable::kSlots> Bits(std::initializer_list<int> indices) {
        std::bitset<CameraIndexTable::kSlots> bits;
        for (int index : indices) bits.set(static_cast<std::size_t>(index));
        return bits;
    }

    // A file of its own beside the shared table's.
    const std::string path_ = CameraIndexTable::DefaultStoragePath() + "-" + UniqueName("test");
};

TEST_F(CameraIndexTableTest, ClaimsLowestFreeIndexUntilAllAreTaken) {
    CameraIndexTable table(path_);
    EXPECT_TRUE(table.InUse().none());
    for (int expected = 1; expected <= 255; ++expected) {
        ASSERT_EQ(table.Claim(), expected);
    }
    EXPECT_EQ(table.Claim(), 0);  // never 256 or a wrapped 0..255
    EXPECT_EQ(table.InUse().count(), 255u);
    EXPECT_FALSE(table.InUse().test(0));

    EXPECT_TRUE(table.Release(7));
    EXPECT_TRUE(table.Release(3));
    EXPECT_FALSE(table.Release(3));  // no longer held
    EXPECT_FALSE(table.Release(0));
    EXPECT_FALSE(table.InUse().test(3));
    EXPECT_EQ(table.Claim(), 3);
    EXPECT_EQ(table.Claim(), 7);
    EXPECT_EQ(table.Claim(), 0);
}

TEST_F(CameraIndexTableTest, TablesOfOneStorageShareTheSlots) {
    auto first = std::make_unique<CameraIndexTable>(path_);
    CameraIndexTable second(path_);
    EXPECT_EQ(first->Claim(), 1);
    EXPECT_EQ(first->Claim(), 2);
    EXPECT_EQ(second.Claim(), 3);
    EXPECT_FALSE(second.Release(1));  // held by the other table
    EXPECT_EQ(second.InUse(), Bits({1, 2, 3}));

    EXPECT_TRUE(first->Release(1));
    EXPECT_EQ(second.InUse(), Bits({2, 3}));
    first.reset();  // destroying a table frees what it held
    EXPECT_EQ(second.InUse(), Bits({3}));
    EXPECT_EQ(second.Claim(), 1);

    CameraIndexTable elsewhere(path_ + "-other");
    EXPECT_EQ(elsewhere.Claim(), 1);
    unlink((path_ + "-other").c_str());
}

// Threads of one process share a table object: claims from many threads never collide, with
// releases and queries running at the same time.
TEST_F(CameraIndexTableTest, ThreadsOfOneTableNeverShareAnIndex) {
    CameraIndexTable table(path_);
    constexpr int kThreads = 4;
    constexpr int kRounds = 120;  // keeps 240 of the 255 indices
    std::vector<std::vector<int>> claimed(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < kRounds; ++round) {
                const int index = table.Claim();
                claimed[static_cast<std::size_t>(t)].push_back(index);
                if (round % 2 == 1) {
                    table.Release(static_cast<std::uint8_t>(index));
                    claimed[static_cast<std::size_t>(t)].back() = -index;
                }
                table.InUse();
            }
        });
    }
    for (auto& thread : threads) thread.join();
    std::set<int> kept;
    for (const auto& indices : claimed) {
        for (int index : indices) {
            ASSERT_NE(index, 0);
            if (index > 0) {
                EXPECT_TRUE(kept.insert(index).second) << "index " << index << " twice";
            }
        }
    }
    EXPECT_EQ(kept.size(), static_cast<std::size_t>(kThreads * kRounds / 2));
    EXPECT_EQ(table.InUse().count(), kept.size());
}

TEST_F(CameraIndexTableTest, SlotOfKilledProcessBecomesFree) {
    StartPipe start;
    Probe holder({"claim", path_}, start.ReadEnd());
    ASSERT_TRUE(holder.Started());
    ASSERT_TRUE(start.Release(1));
    ASSERT_EQ(holder.ReadLine(), "index 1");

    CameraIndexTable table(path_);
    EXPECT_EQ(table.Claim(), 2);
    EXPECT_EQ(table.InUse(), Bits({1, 2}));

    holder.Kill();
    EXPECT_EQ(table.InUse(), Bits({2}));
    EXPECT_EQ(table.Claim(), 1);
}

// Processes released at the same moment each claim the lowest index they can take: together they
// must hold exactly 1..N, no index twice.
TEST_F(CameraIndexTableTest, ConcurrentProcessesNeverShareAnIndex) {
    constexpr int kProcesses = 24;
    constexpr int kRounds = 3;
    for (int round = 0; round < kRounds; ++round) {
        StartPipe start;
        std::vector<std::unique_ptr<Probe>> probes;
        for (int i = 0; i < kProcesses; ++i) {
            probes.push_back(std::make_unique<Probe>(std::vector<std::string>{"claim", path_}, start.ReadEnd()));
            ASSERT_TRUE(probes.back()->Started());
        }
        ASSERT_TRUE(start.Release(kProcesses));
        std::multiset<std::string> reports;
        for (auto& probe : probes) reports.insert(probe->ReadLine());
        std::multiset<std::string> expected;
        for (int i = 1; i <= kProcesses; ++i) expected.insert("index " + std::to_string(i));
        EXPECT_EQ(reports, expected) << "round " << round;

        for (auto& probe : probes) probe->Kill();
        EXPECT_TRUE(CameraIndexTable(path_).InUse().none()) << "round " << round;
    }
}

}  // namespace
}  // namespace Kovon::Platform
