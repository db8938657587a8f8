#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <limits>
#include <new>
#include <sstream>
#include <string>
#include <vector>

#include "Base/GCException.h"
#include "Base/GCString.h"

namespace {

using GenICam::gcstring;

const char* const kNull = nullptr;

TEST(GCString, NullCharPointerIsTakenAsEmpty) {
    gcstring built(kNull);
    EXPECT_TRUE(built.empty());
    EXPECT_EQ(0u, built.size());
    EXPECT_STREQ("", built.c_str());
    EXPECT_TRUE(built == "");
    EXPECT_TRUE(built == kNull);
    EXPECT_FALSE(built != "");
    EXPECT_EQ(0, built.compare(gcstring("")));

    gcstring text("abc");
    text += kNull;
    EXPECT_EQ("abc", text.GetInternalString());
    text = kNull;  // through the const char* constructor
    EXPECT_TRUE(text.empty());
    text.assign("xyz").assign(kNull);
    EXPECT_TRUE(text.empty());

    EXPECT_EQ(0u, gcstring("abc").find(kNull));
    EXPECT_EQ(1u, gcstring("abc").find(kNull, 1, 5));
    EXPECT_TRUE(gcstring("abc") != kNull);
    EXPECT_EQ("abc", (gcstring("abc") + kNull).GetInternalString());
    EXPECT_EQ("abc", (kNull + gcstring("abc")).GetInternalString());
}

TEST(GCString, ConstructionAppendAssignAndOperators) {
    EXPECT_EQ("xxx", gcstring(3, 'x').GetInternalString());
    gcstring s("ab");
    s.append(gcstring("cd")).append(2, 'e');
    s += gcstring("f");
    s += 'g';
    s += "h";
    EXPECT_EQ("abcdeefgh", s.GetInternalString());
    EXPECT_EQ(9u, s.length());
    EXPECT_STREQ("abcdeefgh", static_cast<const char*>(s));

    gcstring copy(s);
    copy.assign(2, 'z');
    EXPECT_EQ("zz", copy.GetInternalString());
    EXPECT_EQ("abcdeefgh", s.GetInternalString());
    copy.assign(s);
    EXPECT_TRUE(copy == s);
    copy = copy;  // self-assignment keeps the value
    EXPECT_TRUE(copy == s);

    EXPECT_EQ("ab+cd", (gcstring("ab") + gcstring("+") + "cd").GetInternalString());
    EXPECT_EQ("<ab", ("<" + gcstring("ab")).GetInternalString());

    EXPECT_TRUE(gcstring("abc") < gcstring("abd"));
    EXPECT_TRUE(gcstring("abd") > gcstring("abc"));
    EXPECT_FALSE(gcstring("abc") < gcstring("abc"));
    EXPECT_LT(gcstring("a").compare(gcstring("b")), 0);
    EXPECT_GT(gcstring("b").compare(gcstring("a")), 0);

    gcstring left("left"), right("right");
    left.swap(right);
    EXPECT_EQ("right", left.GetInternalString());
    EXPECT_EQ("left", right.GetInternalString());

    EXPECT_EQ(std::numeric_limits<size_t>::max(), gcstring::npos);
    EXPECT_EQ(gcstring::npos, gcstring::_npos());
    EXPECT_GE(s.max_size(), s.size());
}

TEST(GCString, FindVariants) {
    const gcstring text("abcabc");
    struct Case {
        size_t got;
        size_t expected;
    };
    const Case cases[] = {
        {text.find('b'), 1},
        {text.find('b', 2), 4},
        {text.find('z'), gcstring::npos},
        {text.find(gcstring("ca")), 2},
        {text.find(gcstring("abc"), 1), 3},
        {text.find(gcstring("cax"), 0, 2), 2},   // only the first two characters count
        {text.find(gcstring("ab"), 0, 100), 0},  // count beyond the pattern: whole pattern
        {text.find("bc"), 1},
        {text.find("bc", 2), 4},
        {text.find("bcz", 2, 2), 4},
        {text.find("abc", 7), gcstring::npos},
        {text.find_first_of(gcstring("cx")), 2},
        {text.find_first_of(gcstring("a"), 1), 3},
        {text.find_first_of(gcstring("xyz")), gcstring::npos},
        {text.find_first_not_of(gcstring("ab")), 2},
        {text.find_first_not_of(gcstring("abc")), gcstring::npos},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        EXPECT_EQ(cases[i].expected, cases[i].got) << "case " << i;
    }
}

TEST(GCString, SubstrResizeAndBounds) {
    const gcstring text("hello world");
    EXPECT_EQ("world", text.substr(6).GetInternalString());
    EXPECT_EQ("lo w", text.substr(3, 4).GetInternalString());
    EXPECT_EQ("", text.substr(11).GetInternalString());
    EXPECT_THROW(text.substr(12), std::out_of_range);

    gcstring s("ab");
    s.resize(4, '-');
    EXPECT_EQ("ab--", s.GetInternalString());
    s.resize(1);
    EXPECT_EQ("a", s.GetInternalString());
    s.resize(3);
    EXPECT_EQ(std::string("a\0\0", 3), s.GetInternalString());
}

TEST(GCString, CStrFollowsChangesMadeThroughInternalString) {
    gcstring s("short");
    s.GetInternalString().assign(1000, 'q');  // reallocates the characters
    EXPECT_EQ(1000u, std::string(s.c_str()).size());
    EXPECT_EQ(s.c_str(), static_cast<const char*>(s));
    EXPECT_EQ(s.GetInternalString().c_str(), s.c_str());
}

TEST(GCString, GetlineWithAndWithoutDelimiter) {
    std::istringstream in("first line\nsecond;third");
    gcstring line("old");
    ASSERT_TRUE(GenICam::getline(in, line));
    EXPECT_EQ("first line", line.GetInternalString());
    ASSERT_TRUE(GenICam::getline(in, line, ';'));
    EXPECT_EQ("second", line.GetInternalString());
    ASSERT_TRUE(GenICam::getline(in, line, ';'));
    EXPECT_EQ("third", line.GetInternalString());
    EXPECT_FALSE(GenICam::getline(in, line));
}

TEST(GCString, ClassNewAndDelete) {
    gcstring* heap = new gcstring("on the heap");
    EXPECT_EQ("on the heap", heap->GetInternalString());
    delete heap;

    alignas(gcstring) unsigned char storage[sizeof(gcstring)];
    gcstring* placed = new (storage) gcstring("placed");
    EXPECT_EQ(static_cast<void*>(storage), static_cast<void*>(placed));
    EXPECT_EQ("placed", placed->GetInternalString());
    placed->~gcstring();
}

// ---- wide forms ----------------------------------------------------------------------------

struct RoundTrip {
    const char* name;
    std::string utf8;
    std::wstring wide;
};

class GCStringRoundTrip : public ::testing::TestWithParam<RoundTrip> {};

TEST_P(GCStringRoundTrip, Utf8AndWideConvertBothWays) {
    const RoundTrip& c = GetParam();

    const gcstring narrow(c.utf8.c_str());
    const gcstring::gcwchar wide = narrow.w_str();
    ASSERT_EQ(c.wide.size() + 1, wide.length());
    EXPECT_EQ(c.wide, std::wstring(wide.c_str()));
    EXPECT_EQ(L'\0', wide.c_str()[c.wide.size()]);
    EXPECT_EQ(wide.c_str(), static_cast<const wchar_t*>(wide));

    EXPECT_EQ(c.utf8, gcstring(c.wide.c_str()).GetInternalString());
    gcstring assigned("previous");
    assigned = c.wide.c_str();
    EXPECT_EQ(c.utf8, assigned.GetInternalString());
    assigned.assign(L"x").assign(c.wide.c_str());
    EXPECT_EQ(c.utf8, assigned.GetInternalString());
}

INSTANTIATE_TEST_SUITE_P(
    Texts, GCStringRoundTrip,
    ::testing::Values(RoundTrip{"Empty", "", L""}, RoundTrip{"Ascii", "Width", L"Width"},
                      RoundTrip{"Latin",
                                "Gr\xC3\xBC\xC3\x9F"
                                "e",
                                L"Gr\u00FC\u00DFe"},
                      RoundTrip{"ThreeByte", "\xE6\x97\xA5\xE6\x9C\xAC", L"\u65E5\u672C"},
                      RoundTrip{"NonBmp", "a\xF0\x9F\x98\x80z", L"a\U0001F600z"},
                      RoundTrip{"Extremes", "\x01\xEF\xBF\xBF\xF4\x8F\xBF\xBF", L"\u0001\uFFFF\U0010FFFF"}),
    [](const ::testing::TestParamInfo<RoundTrip>& param) { return std::string(param.param.name); });

TEST(GCStringWide, NullWideTextIsEmptyAndEmbeddedNulEndsTheWideForm) {
    const wchar_t* nullWide = nullptr;
    EXPECT_TRUE(gcstring(nullWide).empty());
    gcstring s("abc");
    s = nullWide;
    EXPECT_TRUE(s.empty());

    const gcstring embedded(std::string("ab\0cd", 5).c_str());  // const char* stops at the NUL
    gcstring withNul;
    withNul.GetInternalString() = std::string("ab\0\xFF", 4);  // invalid byte after the NUL
    const gcstring::gcwchar wide = withNul.w_str();
    EXPECT_EQ(3u, wide.length());
    EXPECT_EQ(std::wstring(L"ab"), wide.c_str());
    EXPECT_EQ("ab", embedded.GetInternalString());
}

TEST(GCStringWide, MovedHolderKeepsTheArray) {
    gcstring::gcwchar first = gcstring("move").w_str();
    const wchar_t* array = first.c_str();
    gcstring::gcwchar second(std::move(first));
    EXPECT_EQ(array, second.c_str());
    EXPECT_EQ(nullptr, first.c_str());  // NOLINT(bugprone-use-after-move): the moved-from state is defined
    EXPECT_EQ(0u, first.length());
}

template <typename Fn>
void ExpectConversionError(Fn fn, const char* description, unsigned int line) {
    try {
        fn();
        ADD_FAILURE() << "no exception for: " << description;
    } catch (const GenICam::RuntimeException& e) {
        EXPECT_STREQ(description, e.GetDescription());
        EXPECT_STREQ("..\\..\\Include\\Base\\GCString", e.GetSourceFileName());
        EXPECT_EQ(line, e.GetSourceLine());
        EXPECT_EQ(std::string(description) + " : RuntimeException thrown (file 'GCString', line " +
                      std::to_string(line) + ")",
                  e.what());
    }
}

TEST(GCStringWide, InvalidUtf8ThrowsRuntimeException) {
    const std::string expected =
        "Unable to convert UTF8 string to UTF16. ErrorCode = " + std::to_string(EILSEQ);
    const char* const invalid[] = {
        "\xC3",              // truncated two-byte sequence
        "ab\xE6\x97",        // truncated three-byte sequence at the end
        "\x80",              // stray continuation byte
        "\xC0\xAF",          // overlong '/'
        "\xE0\x80\xAF",      // overlong three-byte form
        "\xED\xA0\x80",      // encoded surrogate U+D800
        "\xF4\x90\x80\x80",  // U+110000, above the Unicode range
        "\xFF",              // byte that never occurs in UTF-8
        "ok\xC3(",           // lead byte followed by a non-continuation byte
    };
    for (const char* text : invalid) {
        SCOPED_TRACE(testing::PrintToString(std::string(text)));
        const gcstring s(text);
        ExpectConversionError([&] { (void)s.w_str(); }, expected.c_str(), 691);
    }
}

TEST(GCStringWide, InvalidCodePointThrowsRuntimeExceptionAndChangesNothing) {
    const std::string expected =
        "Unable to convert UTF16 string to UTF8. ErrorCode = " + std::to_string(EILSEQ);
    const std::vector<std::vector<wchar_t>> invalid = {
        {0xD800, 0},                    // lone high surrogate
        {L'a', 0xDC00, 0},              // lone low surrogate
        {0xD83D, 0xDE00, 0},            // UTF-16 pair: not a code point in UTF-32
        {0x110000, 0},                  // above U+10FFFF
        {static_cast<wchar_t>(-1), 0},  // negative unit
    };
    for (const auto& text : invalid) {
        SCOPED_TRACE(static_cast<std::uint32_t>(text[text.size() - 2]));
        ExpectConversionError([&] { gcstring built(text.data()); }, expected.c_str(), 631);
        gcstring s("kept");
        ExpectConversionError([&] { s = text.data(); }, expected.c_str(), 631);
        ExpectConversionError([&] { s.assign(text.data()); }, expected.c_str(), 631);
        EXPECT_EQ("kept", s.GetInternalString());
    }
}

}  // namespace
