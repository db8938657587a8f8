#include "Base/GCString.h"

#include <algorithm>
#include <boost/locale/encoding_utf.hpp>
#include <boost/locale/utf.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <limits>
#include <new>
#include <utility>

#include "Base/GCException.h"

namespace GenICam {

namespace {

static_assert(sizeof(wchar_t) == 4, "the wide forms assume UTF-32 wchar_t");

// Source name reported by the conversion errors.
constexpr const char* kSourceFile = "..\\..\\Include\\Base\\GCString";
constexpr unsigned int kLineWideToNarrow = 631;
constexpr unsigned int kLineNarrowToWideCount = 685;
constexpr unsigned int kLineNarrowToWideLength = 691;

// Code reported as "ErrorCode" by every conversion error: the text holds an invalid character
// sequence. There is no per-thread system error to report here, so the code is fixed.
constexpr int kConversionErrorCode = EILSEQ;

[[noreturn]] void ThrowConversionError(const char* text, unsigned int line) {
    char message[256];  // the formatted message is limited to 256 characters
    std::snprintf(message, sizeof message, "%s ErrorCode = %d", text, kConversionErrorCode);
    throw RuntimeException(message, kSourceFile, line, "RuntimeException");
}

const char* OrEmpty(const char* pc) {
    return pc != nullptr ? pc : "";
}

// UTF-8 form of a NUL-terminated wide text (one code point per unit); an empty string for null.
std::string NarrowFromWide(const wchar_t* wide) {
    if (wide == nullptr) return std::string();
    const wchar_t* end = wide + std::wcslen(wide);
    try {
        return boost::locale::conv::utf_to_utf<char>(wide, end, boost::locale::conv::stop);
    } catch (const boost::locale::conv::conversion_error&) {
        ThrowConversionError("Unable to convert UTF16 string to UTF8.", kLineWideToNarrow);
    }
}

// Number of wide units needed for the UTF-8 text [begin, end) plus its terminator, or 0 when the
// text is not valid UTF-8 (bad lead or continuation byte, truncated or overlong sequence,
// surrogate or value above U+10FFFF).
size_t WideLength(const char* begin, const char* end) {
    using Utf8 = boost::locale::utf::utf_traits<char>;
    size_t count = 1;
    while (begin != end) {
        const boost::locale::utf::code_point c = Utf8::decode(begin, end);
        if (c == boost::locale::utf::illegal || c == boost::locale::utf::incomplete) return 0;
        ++count;
    }
    return count;
}

// Decodes the UTF-8 text [begin, end) into out, writing at most capacity units and no
// terminator. Returns the number of units written, or capacity + 1 when the text needs more room
// or is not valid UTF-8.
size_t DecodeInto(const char* begin, const char* end, wchar_t* out, size_t capacity) {
    using Utf8 = boost::locale::utf::utf_traits<char>;
    size_t written = 0;
    while (begin != end) {
        const boost::locale::utf::code_point c = Utf8::decode(begin, end);
        if (c == boost::locale::utf::illegal || c == boost::locale::utf::incomplete) return capacity + 1;
        if (written == capacity) return capacity + 1;
        out[written++] = static_cast<wchar_t>(c);
    }
    return written;
}

}  // namespace

// ---- gcwchar -------------------------------------------------------------------------------

gcstring::gcwchar::gcwchar(size_t n) : buffer_(new wchar_t[n]()), length_(n) {}

gcstring::gcwchar::gcwchar(gcwchar&& other) noexcept : buffer_(other.buffer_), length_(other.length_) {
    other.buffer_ = nullptr;
    other.length_ = 0;
}

gcstring::gcwchar::~gcwchar() {
    delete[] buffer_;
}

const wchar_t* gcstring::gcwchar::c_str() const {
    return buffer_;
}
wchar_t* gcstring::gcwchar::get() {
    return buffer_;
}
size_t gcstring::gcwchar::length() const {
    return length_;
}
gcstring::gcwchar::operator const wchar_t*() const {
    return buffer_;
}

// ---- gcstring ------------------------------------------------------------------------------

const size_t gcstring::npos = std::numeric_limits<size_t>::max();
size_t gcstring::_npos() {
    return npos;
}

gcstring::gcstring() = default;
gcstring::gcstring(const char* pc) : str_(OrEmpty(pc)) {}
gcstring::gcstring(size_t count, char ch) : str_(count, ch) {}
gcstring::gcstring(const gcstring& str) : str_(str.str_) {}
gcstring::gcstring(const wchar_t* pBufferUTF16) : str_(NarrowFromWide(pBufferUTF16)) {}
gcstring::~gcstring() = default;

gcstring& gcstring::append(const gcstring& str) {
    str_.append(str.str_);
    return *this;
}

gcstring& gcstring::append(size_t count, char ch) {
    str_.append(count, ch);
    return *this;
}

gcstring& gcstring::assign(const gcstring& str) {
    str_.assign(str.str_);
    return *this;
}

gcstring& gcstring::assign(size_t count, char ch) {
    str_.assign(count, ch);
    return *this;
}

gcstring& gcstring::assign(const wchar_t* pStringUTF16) {
    std::string converted = NarrowFromWide(pStringUTF16);  // throws before anything changes
    str_.swap(converted);
    return *this;
}

int gcstring::compare(const gcstring& str) const {
    return str_.compare(str.str_);
}
const char* gcstring::c_str() const {
    return str_.c_str();
}
bool gcstring::empty() const {
    return str_.empty();
}

size_t gcstring::find(char ch, size_t offset) const {
    return str_.find(ch, offset);
}
size_t gcstring::find(const gcstring& str, size_t offset) const {
    return str_.find(str.str_, offset);
}

size_t gcstring::find(const gcstring& str, size_t offset, size_t count) const {
    // count may exceed the pattern: search for at most the whole pattern
    return str_.find(str.str_.c_str(), offset, std::min(count, str.str_.size()));
}

size_t gcstring::find(const char* pc, size_t offset) const {
    return str_.find(OrEmpty(pc), offset);
}

size_t gcstring::find(const char* pc, size_t offset, size_t count) const {
    if (pc == nullptr) return str_.find("", offset, 0);
    return str_.find(pc, offset, count);
}

size_t gcstring::find_first_of(const gcstring& str, size_t offset) const {
    return str_.find_first_of(str.str_, offset);
}

size_t gcstring::find_first_not_of(const gcstring& str, size_t offset) const {
    return str_.find_first_not_of(str.str_, offset);
}

size_t gcstring::length() const {
    return str_.length();
}
size_t gcstring::size() const {
    return str_.size();
}
size_t gcstring::max_size() const {
    return str_.max_size();
}
void gcstring::resize(size_t n, char ch) {
    str_.resize(n, ch);
}

gcstring gcstring::substr(size_t offset, size_t count) const {
    gcstring result;
    result.str_ = str_.substr(offset, count);
    return result;
}

void gcstring::swap(gcstring& rhs) {
    str_.swap(rhs.str_);
}

gcstring::gcwchar gcstring::w_str() const {
    // The text up to its first NUL, as a C string consumer of the result would see it.
    const char* begin = str_.c_str();
    const char* end = begin + std::strlen(begin);
    const size_t length = WideLength(begin, end);
    if (length < 1) ThrowConversionError("Unable to convert UTF8 string to UTF16.", kLineNarrowToWideLength);
    gcwchar result(length);
    if (DecodeInto(begin, end, result.get(), length - 1) != length - 1) {
        ThrowConversionError("Error converting UTF8 string to UTF16.", kLineNarrowToWideCount);
    }
    return result;
}

gcstring& gcstring::operator=(const gcstring& str) {
    if (this != &str) str_ = str.str_;
    return *this;
}

gcstring& gcstring::operator=(const wchar_t* pStringUTF16) {
    return assign(pStringUTF16);
}

gcstring& gcstring::operator+=(const gcstring& str) {
    str_ += str.str_;
    return *this;
}

gcstring& gcstring::operator+=(char ch) {
    str_ += ch;
    return *this;
}

gcstring& gcstring::operator+=(const char* pc) {
    str_ += OrEmpty(pc);
    return *this;
}

bool gcstring::operator==(const gcstring& str) const {
    return str_ == str.str_;
}
bool gcstring::operator==(const char* pc) const {
    return str_ == OrEmpty(pc);
}
bool gcstring::operator!=(const gcstring& str) const {
    return str_ != str.str_;
}
bool gcstring::operator!=(const char* pc) const {
    return str_ != OrEmpty(pc);
}
bool gcstring::operator<(const gcstring& str) const {
    return str_ < str.str_;
}
bool gcstring::operator>(const gcstring& str) const {
    return str_ > str.str_;
}
gcstring::operator const char*() const {
    return str_.c_str();
}

const std::string& gcstring::GetInternalString() const {
    return str_;
}
std::string& gcstring::GetInternalString() {
    return str_;
}

void* gcstring::operator new(size_t size) {
    return ::operator new(size);
}
void gcstring::operator delete(void* p) {
    ::operator delete(p);
}
void* gcstring::operator new(size_t, void* place) {
    return place;
}
void gcstring::operator delete(void*, void*) {}

gcstring operator+(const gcstring& left, const gcstring& right) {
    gcstring result(left);
    result += right;
    return result;
}

gcstring operator+(const gcstring& left, const char* right) {
    gcstring result(left);
    result += right;
    return result;
}

gcstring operator+(const char* left, const gcstring& right) {
    gcstring result(left);
    result += right;
    return result;
}

std::istream& getline(std::istream& is, gcstring& str) {
    return std::getline(is, str.GetInternalString());
}

std::istream& getline(std::istream& is, gcstring& str, char delim) {
    return std::getline(is, str.GetInternalString(), delim);
}

}  // namespace GenICam
