#pragma once
// GenICam base string exported to the host. It wraps a standard string so that a host built
// against this header can hand strings across the module boundary. A null `const char*` given to
// any operation is taken as the empty string.
//
// The wide forms are UTF-32 (wchar_t is 32 bits on Linux). A conversion that meets invalid input
// (bytes that are not UTF-8, or a wide unit that is a surrogate or above U+10FFFF) throws
// RuntimeException whose description ends in "ErrorCode = <EILSEQ>" (84 on Linux).
#include <cstddef>
#include <istream>
#include <ostream>
#include <string>

#include "Lumora/Export.h"

namespace GenICam {

class KOVON_API gcstring {
public:
    // Owner of the wide text that w_str returns. On Linux wchar_t is 32 bits wide, so the array
    // holds one UTF-32 code point per unit (where 16-bit platforms hold UTF-16 units), followed by
    // a terminating zero. The array is freed with the holder.
    class KOVON_API gcwchar {
    public:
        explicit gcwchar(size_t n);  // n zeroed units
        gcwchar(gcwchar&& other) noexcept;
        gcwchar(const gcwchar&) = delete;
        gcwchar& operator=(const gcwchar&) = delete;
        gcwchar& operator=(gcwchar&&) = delete;
        virtual ~gcwchar();

        const wchar_t* c_str() const;
        wchar_t* get();
        size_t length() const;  // units in the array, the terminating zero included
        operator const wchar_t*() const;

    private:
        wchar_t* buffer_;
        size_t length_;
    };

    static const size_t npos;  // the largest size value: "no position"
    static size_t _npos();

    gcstring();
    gcstring(const char* pc);
    gcstring(size_t count, char ch);
    gcstring(const gcstring& str);
    // Throws RuntimeException when the text holds a value that is not a Unicode scalar value.
    explicit gcstring(const wchar_t* pBufferUTF16);
    virtual ~gcstring();

    virtual gcstring& append(const gcstring& str);
    virtual gcstring& append(size_t count, char ch);
    virtual gcstring& assign(const gcstring& str);
    virtual gcstring& assign(size_t count, char ch);
    // Replaces the text by the UTF-8 form of the wide text; on a conversion error the string keeps
    // its value and RuntimeException is thrown.
    virtual gcstring& assign(const wchar_t* pStringUTF16);
    virtual int compare(const gcstring& str) const;
    virtual const char* c_str() const;
    virtual bool empty() const;
    virtual size_t find(char ch, size_t offset = 0) const;
    virtual size_t find(const gcstring& str, size_t offset = 0) const;
    virtual size_t find(const gcstring& str, size_t offset, size_t count) const;
    virtual size_t find(const char* pc, size_t offset = 0) const;
    virtual size_t find(const char* pc, size_t offset, size_t count) const;
    virtual size_t find_first_of(const gcstring& str, size_t offset = 0) const;
    virtual size_t find_first_not_of(const gcstring& str, size_t offset = 0) const;
    virtual size_t length() const;
    virtual size_t size() const;
    virtual size_t max_size() const;
    virtual void resize(size_t n, char ch = 0);
    // Throws std::out_of_range when offset is beyond the end.
    virtual gcstring substr(size_t offset = 0, size_t count = npos) const;
    virtual void swap(gcstring& rhs);
    // Wide form of the text up to its first NUL; throws RuntimeException when the text is not
    // valid UTF-8.
    virtual gcwchar w_str() const;

    virtual gcstring& operator=(const gcstring& str);
    virtual gcstring& operator=(const wchar_t* pStringUTF16);
    virtual gcstring& operator+=(const gcstring& str);
    virtual gcstring& operator+=(char ch);
    virtual gcstring& operator+=(const char* pc);
    virtual bool operator==(const gcstring& str) const;
    virtual bool operator==(const char* pc) const;
    virtual bool operator!=(const gcstring& str) const;
    virtual bool operator!=(const char* pc) const;
    virtual bool operator<(const gcstring& str) const;
    virtual bool operator>(const gcstring& str) const;
    virtual operator const char*() const;

    const std::string& GetInternalString() const;
    std::string& GetInternalString();

    static void* operator new(size_t size);
    static void operator delete(void* p);
    static void* operator new(size_t size, void* place);
    static void operator delete(void* p, void* place);

private:
    std::string str_;
};

KOVON_API gcstring operator+(const gcstring& left, const gcstring& right);
KOVON_API gcstring operator+(const gcstring& left, const char* right);
KOVON_API gcstring operator+(const char* left, const gcstring& right);

KOVON_API std::istream& getline(std::istream& is, gcstring& str);
KOVON_API std::istream& getline(std::istream& is, gcstring& str, char delim);

inline std::ostream& operator<<(std::ostream& os, const gcstring& str) {
    return os << str.GetInternalString();
}

}  // namespace GenICam
