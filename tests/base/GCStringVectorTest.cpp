#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <iterator>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "Base/GCStringVector.h"

namespace {

using GenICam::gcstring;
using GenICam::gcstring_vector;

gcstring_vector Make(std::initializer_list<const char*> texts) {
    gcstring_vector v;
    for (const char* t : texts) v.push_back(gcstring(t));
    return v;
}

std::vector<std::string> Texts(const gcstring_vector& v) {
    std::vector<std::string> out;
    for (gcstring_vector::const_iterator it = v.begin(); it != v.end(); ++it) {
        out.push_back(it->GetInternalString());
    }
    return out;
}

using Strings = std::vector<std::string>;

// Every checked access outside the vector throws std::out_of_range and leaves it unchanged.
TEST(GCStringVector, OutOfRangeAccessThrowsAndChangesNothing) {
    gcstring_vector v = Make({"a", "b", "c"});
    const gcstring_vector& cv = v;
    gcstring_vector other = Make({"x"});
    const std::vector<std::pair<const char*, std::function<void()>>> cases = {
        {"at(size())", [&] { v.at(v.size()); }},
        {"const at(size())", [&] { cv.at(cv.size()); }},
        {"at(npos)", [&] { v.at(gcstring::npos); }},
        {"operator[](size())", [&] { v[v.size()]; }},
        {"const operator[](size())", [&] { cv[cv.size()]; }},
        {"erase(size())", [&] { v.erase(v.size()); }},
        {"insert(size() + 1)", [&] { v.insert(v.size() + 1, gcstring("z")); }},
        {"erase(end())", [&] { v.erase(v.end()); }},
        {"erase(foreign)", [&] { v.erase(other.begin()); }},
        {"insert(foreign)", [&] { v.insert(other.begin(), gcstring("z")); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        try {
            c.second();
            ADD_FAILURE() << "no exception";
        } catch (const std::out_of_range& e) {
            EXPECT_STREQ("invalid vector<T> subscript", e.what());
        }
        EXPECT_EQ((Strings{"a", "b", "c"}), Texts(v));
    }
    EXPECT_EQ((Strings{"x"}), Texts(other));
}

TEST(GCStringVector, EmptyVectorRefusesElementAccess) {
    gcstring_vector v;
    const gcstring_vector& cv = v;
    EXPECT_THROW(v.front(), std::out_of_range);
    EXPECT_THROW(cv.front(), std::out_of_range);
    EXPECT_THROW(v.back(), std::out_of_range);
    EXPECT_THROW(cv.back(), std::out_of_range);
    EXPECT_THROW(v.pop_back(), std::out_of_range);
    EXPECT_THROW(v.erase(v.begin()), std::out_of_range);
    EXPECT_THROW(v.at(0), std::out_of_range);
    EXPECT_TRUE(v.empty());
    EXPECT_TRUE(v.begin() == v.end());
}

TEST(GCStringVector, EraseReturnsTheNextElementAndEndAfterTheLast) {
    gcstring_vector v = Make({"a", "b", "c"});
    gcstring_vector::iterator next = v.erase(v.begin() + 2);
    EXPECT_TRUE(next == v.end());
    EXPECT_EQ((Strings{"a", "b"}), Texts(v));

    next = v.erase(v.begin());
    ASSERT_TRUE(next == v.begin());
    EXPECT_EQ("b", next->GetInternalString());

    next = v.erase(v.begin());
    EXPECT_TRUE(next == v.end());
    EXPECT_TRUE(v.empty());

    gcstring_vector w = Make({"a", "b", "c", "d"});
    w.erase(static_cast<size_t>(1));
    w.erase(w.size() - 1);
    EXPECT_EQ((Strings{"a", "c"}), Texts(w));
}

TEST(GCStringVector, InsertReturnsTheNewElement) {
    gcstring_vector v = Make({"b"});
    gcstring_vector::iterator it = v.insert(v.begin(), gcstring("a"));
    EXPECT_EQ("a", it->GetInternalString());
    it = v.insert(v.end(), gcstring("d"));
    EXPECT_EQ("d", it->GetInternalString());
    EXPECT_TRUE(it + 1 == v.end());
    v.insert(static_cast<size_t>(2), gcstring("c"));
    v.insert(v.size(), gcstring("e"));
    EXPECT_EQ((Strings{"a", "b", "c", "d", "e"}), Texts(v));

    // many insertions force reallocation; the returned iterator must point into the new storage
    gcstring_vector grow;
    for (int i = 0; i < 100; ++i) {
        it = grow.insert(grow.begin(), gcstring(std::to_string(i).c_str()));
        ASSERT_TRUE(it == grow.begin());
        ASSERT_EQ(std::to_string(i), it->GetInternalString());
    }
    EXPECT_EQ(100u, grow.size());
}

TEST(GCStringVector, IteratorArithmetic) {
    gcstring_vector v = Make({"0", "1", "2", "3", "4"});
    const gcstring_vector::iterator b = v.begin();
    gcstring_vector::iterator it = b;

    EXPECT_EQ("1", (++it)->GetInternalString());
    EXPECT_EQ("1", (it++)->GetInternalString());
    EXPECT_EQ("2", (*it).GetInternalString());
    EXPECT_EQ("2", (it--)->GetInternalString());
    EXPECT_EQ("0", (--it)->GetInternalString());
    it += 4;
    EXPECT_EQ("4", it->GetInternalString());
    it -= 3;
    EXPECT_EQ("1", it->GetInternalString());
    EXPECT_EQ("3", (it + 2)->GetInternalString());
    EXPECT_EQ("3", (2 + it)->GetInternalString());
    EXPECT_EQ("0", (it - 1)->GetInternalString());
    EXPECT_EQ("4", it[3].GetInternalString());
    EXPECT_EQ(5, v.end() - b);
    EXPECT_EQ(-1, b - it);
    EXPECT_EQ(5, std::distance(v.begin(), v.end()));

    it[0] = gcstring("one");  // a mutable iterator writes through
    EXPECT_EQ("one", v[1].GetInternalString());

    const gcstring_vector& cv = v;
    gcstring_vector::const_iterator c = cv.begin();
    EXPECT_EQ("0", (c++)->GetInternalString());
    EXPECT_EQ("2", (++c)->GetInternalString());
    EXPECT_EQ("2", (c--)->GetInternalString());
    EXPECT_EQ("0", (--c)->GetInternalString());
    c += 3;
    c -= 1;
    EXPECT_EQ("2", (*c).GetInternalString());
    EXPECT_EQ("4", (c + 2)->GetInternalString());
    EXPECT_EQ("4", (2 + c)->GetInternalString());
    EXPECT_EQ("one", (c - 1)->GetInternalString());
    EXPECT_EQ("3", c[1].GetInternalString());
    EXPECT_EQ(2, c - cv.begin());

    // the six comparisons, also between an iterator and a const_iterator
    const gcstring_vector::const_iterator lo = b + 1;
    const gcstring_vector::iterator hi = b + 3;
    EXPECT_TRUE(lo < hi);
    EXPECT_TRUE(hi > lo);
    EXPECT_TRUE(lo <= hi && lo <= lo);
    EXPECT_TRUE(hi >= lo && hi >= hi);
    EXPECT_TRUE(lo != hi);
    EXPECT_TRUE(lo == b + 1);
    EXPECT_FALSE(hi < lo || lo > hi || hi <= lo || lo >= hi || lo == hi);
}

TEST(GCStringVector, WorksWithStandardAlgorithms) {
    gcstring_vector v = Make({"delta", "alpha", "charlie", "bravo"});
    std::sort(v.begin(), v.end());
    EXPECT_EQ((Strings{"alpha", "bravo", "charlie", "delta"}), Texts(v));
    const gcstring_vector& cv = v;
    EXPECT_TRUE(std::find(cv.begin(), cv.end(), gcstring("charlie")) == cv.begin() + 2);
}

TEST(GCStringVector, CopiesAreDeepAndSizeOperationsBehave) {
    gcstring_vector filled(3, gcstring("x"));
    EXPECT_EQ((Strings{"x", "x", "x"}), Texts(filled));
    EXPECT_EQ(2u, gcstring_vector(2).size());

    gcstring_vector copy(filled);
    copy[0] = gcstring("changed");
    EXPECT_EQ("x", filled.front().GetInternalString());

    gcstring_vector assigned = Make({"old"});
    assigned = copy;
    copy.clear();
    EXPECT_EQ((Strings{"changed", "x", "x"}), Texts(assigned));
    assigned = assigned;
    EXPECT_EQ(3u, assigned.size());
    assigned.assign(gcstring_vector(1, gcstring("y")));
    EXPECT_EQ((Strings{"y"}), Texts(assigned));
    assigned.assign(2, gcstring("z"));
    EXPECT_EQ((Strings{"z", "z"}), Texts(assigned));

    assigned.resize(4, gcstring("fill"));
    EXPECT_EQ((Strings{"z", "z", "fill", "fill"}), Texts(assigned));
    assigned.resize(1);
    EXPECT_EQ((Strings{"z"}), Texts(assigned));
    assigned.push_back(gcstring("last"));
    EXPECT_EQ("last", assigned.back().GetInternalString());
    assigned.back() = gcstring("LAST");
    assigned.front() = gcstring("FIRST");
    EXPECT_EQ((Strings{"FIRST", "LAST"}), Texts(assigned));
    assigned.pop_back();
    EXPECT_EQ((Strings{"FIRST"}), Texts(assigned));

    assigned.reserve(50);
    EXPECT_GE(assigned.capacity(), 50u);
    EXPECT_GE(assigned.max_size(), assigned.capacity());
    assigned.clear();
    EXPECT_TRUE(assigned.empty());
}

TEST(GCStringVector, ClassNewAndDelete) {
    gcstring_vector* heap = new gcstring_vector(2, gcstring("h"));
    EXPECT_EQ(2u, heap->size());
    delete heap;

    alignas(gcstring_vector) unsigned char storage[sizeof(gcstring_vector)];
    gcstring_vector* placed = new (storage) gcstring_vector(1, gcstring("p"));
    EXPECT_EQ(static_cast<void*>(storage), static_cast<void*>(placed));
    EXPECT_EQ("p", placed->at(0).GetInternalString());
    placed->~gcstring_vector();
}

}  // namespace
