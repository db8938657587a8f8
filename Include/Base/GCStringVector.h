#pragma once
// GenICam string vector exported to the host: a standard vector of gcstring kept behind one
// pointer. Indexed access (at, operator[]), front/back/pop_back and the index and iterator forms
// of erase/insert check their argument and throw std::out_of_range instead of touching memory
// outside the vector; the iterators themselves are plain element pointers and are not checked.
#include <cstddef>
#include <iterator>
#include <vector>

#include "Base/GCString.h"
#include "Lumora/Export.h"

namespace GenICam {

class KOVON_API gcstring_vector {
public:
    class KOVON_API const_iterator {
    public:
        using iterator_category = std::random_access_iterator_tag;
        using value_type = gcstring;
        using difference_type = std::ptrdiff_t;
        using pointer = const gcstring*;
        using reference = const gcstring&;

        const_iterator(gcstring* pStr = nullptr);

        const_iterator& operator++();
        const_iterator operator++(int);
        const_iterator& operator--();
        const_iterator operator--(int);
        const_iterator& operator+=(std::ptrdiff_t n);
        const_iterator& operator-=(std::ptrdiff_t n);
        const_iterator operator+(std::ptrdiff_t n) const;
        const_iterator operator-(std::ptrdiff_t n) const;
        std::ptrdiff_t operator-(const const_iterator& rhs) const;

        const gcstring& operator*() const;
        const gcstring* operator->() const;
        const gcstring& operator[](std::ptrdiff_t n) const;

        bool operator==(const const_iterator& rhs) const;
        bool operator!=(const const_iterator& rhs) const;
        bool operator<(const const_iterator& rhs) const;
        bool operator>(const const_iterator& rhs) const;
        bool operator<=(const const_iterator& rhs) const;
        bool operator>=(const const_iterator& rhs) const;

    protected:
        gcstring* _ps;
    };

    class KOVON_API iterator : public const_iterator {
    public:
        using pointer = gcstring*;
        using reference = gcstring&;

        iterator(gcstring* pStr = nullptr);

        iterator& operator++();
        iterator operator++(int);
        iterator& operator--();
        iterator operator--(int);
        iterator& operator+=(std::ptrdiff_t n);
        iterator& operator-=(std::ptrdiff_t n);
        iterator operator+(std::ptrdiff_t n) const;
        iterator operator-(std::ptrdiff_t n) const;
        std::ptrdiff_t operator-(const const_iterator& rhs) const;

        gcstring& operator*() const;
        gcstring* operator->() const;
        gcstring& operator[](std::ptrdiff_t n) const;
    };

    gcstring_vector();
    explicit gcstring_vector(size_t n, const gcstring& value = gcstring());
    gcstring_vector(const gcstring_vector& obj);
    virtual ~gcstring_vector();

    virtual void assign(size_t n, const gcstring& value);
    virtual void assign(const gcstring_vector& obj);
    virtual gcstring& at(size_t index);  // throws std::out_of_range unless index < size()
    virtual const gcstring& at(size_t index) const;
    virtual gcstring& back();
    virtual const gcstring& back() const;
    virtual gcstring& front();
    virtual const gcstring& front() const;
    virtual iterator begin();
    virtual const_iterator begin() const;
    virtual iterator end();
    virtual const_iterator end() const;
    virtual size_t capacity() const;
    virtual void clear();
    virtual bool empty() const;
    virtual iterator erase(iterator pos);  // returns the iterator to the element after pos
    virtual void erase(size_t index);
    virtual iterator insert(iterator pos, const gcstring& value);  // returns the new element
    virtual void insert(size_t index, const gcstring& value);
    virtual size_t max_size() const;
    virtual void pop_back();
    virtual void push_back(const gcstring& value);
    virtual void reserve(size_t n);
    virtual void resize(size_t n, const gcstring& value = gcstring());
    virtual size_t size() const;
    virtual gcstring& operator[](size_t index);
    virtual const gcstring& operator[](size_t index) const;
    virtual gcstring_vector& operator=(const gcstring_vector& obj);

    static void* operator new(size_t size);
    static void operator delete(void* p);
    static void* operator new(size_t size, void* place);
    static void operator delete(void* p, void* place);

private:
    size_t IndexOf(const const_iterator& pos, size_t limit) const;

    std::vector<gcstring>* _pv;
};

KOVON_API gcstring_vector::const_iterator operator+(std::ptrdiff_t n,
                                                    const gcstring_vector::const_iterator& it);
KOVON_API gcstring_vector::iterator operator+(std::ptrdiff_t n, const gcstring_vector::iterator& it);

}  // namespace GenICam
