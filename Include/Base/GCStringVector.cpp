#include "Base/GCStringVector.h"

#include <functional>
#include <memory>
#include <new>
#include <stdexcept>

namespace GenICam {

namespace {

constexpr const char* kBadSubscript = "invalid vector<T> subscript";
constexpr const char* kEmptyVector = "invalid vector<T> access: the vector is empty";

}  // namespace

// ---- const_iterator ------------------------------------------------------------------------

gcstring_vector::const_iterator::const_iterator(gcstring* pStr) : _ps(pStr) {}

gcstring_vector::const_iterator& gcstring_vector::const_iterator::operator++() {
    ++_ps;
    return *this;
}

gcstring_vector::const_iterator gcstring_vector::const_iterator::operator++(int) {
    const_iterator old(*this);
    ++_ps;
    return old;
}

gcstring_vector::const_iterator& gcstring_vector::const_iterator::operator--() {
    --_ps;
    return *this;
}

gcstring_vector::const_iterator gcstring_vector::const_iterator::operator--(int) {
    const_iterator old(*this);
    --_ps;
    return old;
}

gcstring_vector::const_iterator& gcstring_vector::const_iterator::operator+=(std::ptrdiff_t n) {
    _ps += n;
    return *this;
}

gcstring_vector::const_iterator& gcstring_vector::const_iterator::operator-=(std::ptrdiff_t n) {
    _ps -= n;
    return *this;
}

gcstring_vector::const_iterator gcstring_vector::const_iterator::operator+(std::ptrdiff_t n) const {
    return const_iterator(_ps + n);
}

gcstring_vector::const_iterator gcstring_vector::const_iterator::operator-(std::ptrdiff_t n) const {
    return const_iterator(_ps - n);
}

std::ptrdiff_t gcstring_vector::const_iterator::operator-(const const_iterator& rhs) const {
    return _ps - rhs._ps;
}

const gcstring& gcstring_vector::const_iterator::operator*() const {
    return *_ps;
}
const gcstring* gcstring_vector::const_iterator::operator->() const {
    return _ps;
}
const gcstring& gcstring_vector::const_iterator::operator[](std::ptrdiff_t n) const {
    return _ps[n];
}

bool gcstring_vector::const_iterator::operator==(const const_iterator& rhs) const {
    return _ps == rhs._ps;
}
bool gcstring_vector::const_iterator::operator!=(const const_iterator& rhs) const {
    return _ps != rhs._ps;
}
bool gcstring_vector::const_iterator::operator<(const const_iterator& rhs) const {
    return std::less<const gcstring*>()(_ps, rhs._ps);
}
bool gcstring_vector::const_iterator::operator>(const const_iterator& rhs) const {
    return rhs < *this;
}
bool gcstring_vector::const_iterator::operator<=(const const_iterator& rhs) const {
    return !(rhs < *this);
}
bool gcstring_vector::const_iterator::operator>=(const const_iterator& rhs) const {
    return !(*this < rhs);
}

// ---- iterator ------------------------------------------------------------------------------

gcstring_vector::iterator::iterator(gcstring* pStr) : const_iterator(pStr) {}

gcstring_vector::iterator& gcstring_vector::iterator::operator++() {
    ++_ps;
    return *this;
}

gcstring_vector::iterator gcstring_vector::iterator::operator++(int) {
    iterator old(*this);
    ++_ps;
    return old;
}

gcstring_vector::iterator& gcstring_vector::iterator::operator--() {
    --_ps;
    return *this;
}

gcstring_vector::iterator gcstring_vector::iterator::operator--(int) {
    iterator old(*this);
    --_ps;
    return old;
}

gcstring_vector::iterator& gcstring_vector::iterator::operator+=(std::ptrdiff_t n) {
    _ps += n;
    return *this;
}

gcstring_vector::iterator& gcstring_vector::iterator::operator-=(std::ptrdiff_t n) {
    _ps -= n;
    return *this;
}

gcstring_vector::iterator gcstring_vector::iterator::operator+(std::ptrdiff_t n) const {
    return iterator(_ps + n);
}
gcstring_vector::iterator gcstring_vector::iterator::operator-(std::ptrdiff_t n) const {
    return iterator(_ps - n);
}

std::ptrdiff_t gcstring_vector::iterator::operator-(const const_iterator& rhs) const {
    return const_iterator::operator-(rhs);
}

gcstring& gcstring_vector::iterator::operator*() const {
    return *_ps;
}
gcstring* gcstring_vector::iterator::operator->() const {
    return _ps;
}
gcstring& gcstring_vector::iterator::operator[](std::ptrdiff_t n) const {
    return _ps[n];
}

gcstring_vector::const_iterator operator+(std::ptrdiff_t n, const gcstring_vector::const_iterator& it) {
    return it + n;
}

gcstring_vector::iterator operator+(std::ptrdiff_t n, const gcstring_vector::iterator& it) {
    return it + n;
}

// ---- gcstring_vector -----------------------------------------------------------------------

gcstring_vector::gcstring_vector() : _pv(new std::vector<gcstring>()) {}

gcstring_vector::gcstring_vector(size_t n, const gcstring& value)
    : _pv(new std::vector<gcstring>(n, value)) {}

gcstring_vector::gcstring_vector(const gcstring_vector& obj) : _pv(new std::vector<gcstring>(*obj._pv)) {}

gcstring_vector::~gcstring_vector() {
    delete _pv;
}

void gcstring_vector::assign(size_t n, const gcstring& value) {
    _pv->assign(n, value);
}

void gcstring_vector::assign(const gcstring_vector& obj) {
    *this = obj;
}

gcstring& gcstring_vector::at(size_t index) {
    if (index >= _pv->size()) throw std::out_of_range(kBadSubscript);
    return (*_pv)[index];
}

const gcstring& gcstring_vector::at(size_t index) const {
    if (index >= _pv->size()) throw std::out_of_range(kBadSubscript);
    return (*_pv)[index];
}

gcstring& gcstring_vector::back() {
    if (_pv->empty()) throw std::out_of_range(kEmptyVector);
    return _pv->back();
}

const gcstring& gcstring_vector::back() const {
    if (_pv->empty()) throw std::out_of_range(kEmptyVector);
    return _pv->back();
}

gcstring& gcstring_vector::front() {
    if (_pv->empty()) throw std::out_of_range(kEmptyVector);
    return _pv->front();
}

const gcstring& gcstring_vector::front() const {
    if (_pv->empty()) throw std::out_of_range(kEmptyVector);
    return _pv->front();
}

gcstring_vector::iterator gcstring_vector::begin() {
    return iterator(_pv->data());
}
gcstring_vector::const_iterator gcstring_vector::begin() const {
    return const_iterator(_pv->data());
}
gcstring_vector::iterator gcstring_vector::end() {
    return iterator(_pv->data() + _pv->size());
}
gcstring_vector::const_iterator gcstring_vector::end() const {
    return const_iterator(_pv->data() + _pv->size());
}

size_t gcstring_vector::capacity() const {
    return _pv->capacity();
}
void gcstring_vector::clear() {
    _pv->clear();
}
bool gcstring_vector::empty() const {
    return _pv->empty();
}

// Position of an iterator into this vector; throws when it does not point at one of the first
// limit + 1 positions (limit = size() for insertion, size() - 1 for erasure).
size_t gcstring_vector::IndexOf(const const_iterator& pos, size_t limit) const {
    const const_iterator first = begin();
    const const_iterator last = first + static_cast<std::ptrdiff_t>(_pv->size());
    if (pos < first || pos > last) throw std::out_of_range(kBadSubscript);
    const size_t index = static_cast<size_t>(pos - first);
    if (index > limit) throw std::out_of_range(kBadSubscript);
    return index;
}

gcstring_vector::iterator gcstring_vector::erase(iterator pos) {
    if (_pv->empty()) throw std::out_of_range(kBadSubscript);
    const size_t index = IndexOf(pos, _pv->size() - 1);
    _pv->erase(_pv->begin() + static_cast<std::ptrdiff_t>(index));
    return iterator(_pv->data() + index);
}

void gcstring_vector::erase(size_t index) {
    if (index >= _pv->size()) throw std::out_of_range(kBadSubscript);
    _pv->erase(_pv->begin() + static_cast<std::ptrdiff_t>(index));
}

gcstring_vector::iterator gcstring_vector::insert(iterator pos, const gcstring& value) {
    const size_t index = IndexOf(pos, _pv->size());
    _pv->insert(_pv->begin() + static_cast<std::ptrdiff_t>(index), value);
    return iterator(_pv->data() + index);
}

void gcstring_vector::insert(size_t index, const gcstring& value) {
    if (index > _pv->size()) throw std::out_of_range(kBadSubscript);
    _pv->insert(_pv->begin() + static_cast<std::ptrdiff_t>(index), value);
}

size_t gcstring_vector::max_size() const {
    return _pv->max_size();
}

void gcstring_vector::pop_back() {
    if (_pv->empty()) throw std::out_of_range(kEmptyVector);
    _pv->pop_back();
}

void gcstring_vector::push_back(const gcstring& value) {
    _pv->push_back(value);
}
void gcstring_vector::reserve(size_t n) {
    _pv->reserve(n);
}
void gcstring_vector::resize(size_t n, const gcstring& value) {
    _pv->resize(n, value);
}
size_t gcstring_vector::size() const {
    return _pv->size();
}

gcstring& gcstring_vector::operator[](size_t index) {
    return at(index);
}
const gcstring& gcstring_vector::operator[](size_t index) const {
    return at(index);
}

gcstring_vector& gcstring_vector::operator=(const gcstring_vector& obj) {
    if (this != &obj) {
        // copy first so that a failed allocation leaves this vector unchanged
        std::unique_ptr<std::vector<gcstring>> copy(new std::vector<gcstring>(*obj._pv));
        delete _pv;
        _pv = copy.release();
    }
    return *this;
}

void* gcstring_vector::operator new(size_t size) {
    return ::operator new(size);
}
void gcstring_vector::operator delete(void* p) {
    ::operator delete(p);
}
void* gcstring_vector::operator new(size_t, void* place) {
    return place;
}
void gcstring_vector::operator delete(void*, void*) {}

}  // namespace GenICam
