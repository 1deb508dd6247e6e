// basekit/vrk/Array.h
// A growable array owned by value. Indexing at or past the size is an assertion
// failure ("index < size()"), never undefined behaviour. Capacity starts at 8.
#pragma once
#include <new>
#include <utility>
#include <vector>

#include <vrk/Assert.h>
#include <vrk/Types.h>

namespace vrk {

template <class T>
class Array {
 public:
  Array() { items_.reserve(8); }

  u32 size() const { return static_cast<u32>(items_.size()); }
  bool empty() const { return items_.empty(); }

  T& operator[](u32 index) {
    VRK_ASSERT(index < size());
    return items_[index];
  }
  const T& operator[](u32 index) const {
    VRK_ASSERT(index < size());
    return items_[index];
  }

  void append(const T& item) { items_.push_back(item); }
  void append(T&& item) { items_.push_back(std::move(item)); }
  void insert(u32 index, T item) {
    VRK_ASSERT(index <= size());
    items_.insert(items_.begin() + index, std::move(item));
  }
  void remove(u32 index) {
    VRK_ASSERT(index < size());
    items_.erase(items_.begin() + index);
  }
  void clear() { items_.clear(); }
  void reserve(u32 capacity) { items_.reserve(capacity); }

  typename std::vector<T>::iterator begin() { return items_.begin(); }
  typename std::vector<T>::iterator end() { return items_.end(); }
  typename std::vector<T>::const_iterator begin() const { return items_.begin(); }
  typename std::vector<T>::const_iterator end() const { return items_.end(); }

  const std::vector<T>& items() const { return items_; }

 private:
  std::vector<T> items_;
};

// Allocates on page boundaries, so that a Buffer can go straight to a device opened
// without the system cache.
template <class T>
struct PageAlignedAllocator {
  using value_type = T;
  static constexpr std::size_t alignment = 4096;
  PageAlignedAllocator() = default;
  template <class U>
  PageAlignedAllocator(const PageAlignedAllocator<U>&) {}  // NOLINT
  T* allocate(std::size_t n) {
    return static_cast<T*>(::operator new(n * sizeof(T), std::align_val_t(alignment)));
  }
  void deallocate(T* p, std::size_t) { ::operator delete(p, std::align_val_t(alignment)); }
  template <class U>
  bool operator==(const PageAlignedAllocator<U>&) const { return true; }
  template <class U>
  bool operator!=(const PageAlignedAllocator<U>&) const { return false; }
};

// An owned, zero-initialised, page-aligned block of `size()` elements.
template <class T>
class Buffer {
 public:
  Buffer() = default;
  explicit Buffer(std::size_t count) : items_(count) {}
  Buffer(const T* data, std::size_t count) : items_(data, data + count) {}

  T* data() { return items_.data(); }
  const T* data() const { return items_.data(); }
  std::size_t size() const { return items_.size(); }
  T& operator[](std::size_t i) { return items_[i]; }
  const T& operator[](std::size_t i) const { return items_[i]; }

 private:
  std::vector<T, PageAlignedAllocator<T>> items_;
};

}  // namespace vrk
