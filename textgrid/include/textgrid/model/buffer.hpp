#pragma once
// A growable array of trivially copyable values whose storage can be handed
// over (released) to another owner, such as a NumPy array, without a copy.
// The released storage must be freed with `free_buffer<T>`.
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <new>
#include <type_traits>
#include <utility>

namespace textgrid {

template <class T>
struct ReleasedBuffer {
  T* data;
  std::size_t length;
  std::size_t capacity;
};

template <class T>
void free_buffer(T* data, std::size_t /*length*/, std::size_t /*capacity*/) noexcept {
  std::free(data);
}

template <class T>
class Buffer {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  Buffer() = default;
  Buffer(std::initializer_list<T> values) { append(values.begin(), values.size()); }
  Buffer(const Buffer& other) { append(other.data_, other.length_); }
  Buffer(Buffer&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        length_(std::exchange(other.length_, 0)),
        capacity_(std::exchange(other.capacity_, 0)) {}
  Buffer& operator=(Buffer other) noexcept {
    swap(other);
    return *this;
  }
  ~Buffer() { std::free(data_); }

  void swap(Buffer& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(length_, other.length_);
    std::swap(capacity_, other.capacity_);
  }

  std::size_t size() const noexcept { return length_; }
  bool empty() const noexcept { return length_ == 0; }
  std::size_t capacity() const noexcept { return capacity_; }
  T* data() noexcept { return data_; }
  const T* data() const noexcept { return data_; }
  T& operator[](std::size_t i) noexcept { return data_[i]; }
  const T& operator[](std::size_t i) const noexcept { return data_[i]; }
  T* begin() noexcept { return data_; }
  T* end() noexcept { return data_ + length_; }
  const T* begin() const noexcept { return data_; }
  const T* end() const noexcept { return data_ + length_; }

  void reserve(std::size_t wanted) {
    if (wanted <= capacity_) return;
    void* grown = std::realloc(data_, wanted * sizeof(T));
    if (grown == nullptr) throw std::bad_alloc();
    data_ = static_cast<T*>(grown);
    capacity_ = wanted;
  }

  void push_back(T value) {
    if (length_ == capacity_) grow_for(1);
    data_[length_++] = value;
  }

  void append(const T* values, std::size_t count) {
    if (count == 0) return;
    grow_for(count);
    std::memcpy(data_ + length_, values, count * sizeof(T));
    length_ += count;
  }

  // As append, for the few bytes of a label: copied in fixed-size moves the
  // compiler lays out in place, rather than through a call to copy them.
  void append_small(const T* values, std::size_t count)
    requires(sizeof(T) == 1)
  {
    if (count > 16) return append(values, count);
    grow_for(count);
    T* to = data_ + length_;
    if (count >= 8) {
      std::memcpy(to, values, 8);
      std::memcpy(to + count - 8, values + count - 8, 8);
    } else if (count >= 4) {
      std::memcpy(to, values, 4);
      std::memcpy(to + count - 4, values + count - 4, 4);
    } else if (count != 0) {
      to[0] = values[0];
      to[count / 2] = values[count / 2];
      to[count - 1] = values[count - 1];
    }
    length_ += count;
  }

  // Drops the values from `length` on (a length at most the size).
  void truncate(std::size_t length) noexcept {
    if (length < length_) length_ = length;
  }

  // Room for `extra` more values, growing as appending would.
  void reserve_more(std::size_t extra) { grow_for(extra); }

  // Room for `count` more values, counted in the length: the caller writes them.
  T* extend(std::size_t count) {
    grow_for(count);
    T* added = data_ + length_;
    length_ += count;
    return added;
  }

  void append_fill(T value, std::size_t count) {
    grow_for(count);
    for (std::size_t i = 0; i < count; ++i) data_[length_ + i] = value;
    length_ += count;
  }

  // Gives up the storage; the caller frees it with free_buffer<T>.
  ReleasedBuffer<T> release() noexcept {
    return {std::exchange(data_, nullptr), std::exchange(length_, 0),
            std::exchange(capacity_, 0)};
  }

  friend bool operator==(const Buffer& a, const Buffer& b) {
    if (a.length_ != b.length_) return false;
    for (std::size_t i = 0; i < a.length_; ++i)
      if (!(a.data_[i] == b.data_[i])) return false;
    return true;
  }

 private:
  // Geometric growth so that repeated appends stay linear.
  void grow_for(std::size_t extra) {
    std::size_t needed = length_ + extra;
    if (needed <= capacity_) return;
    std::size_t doubled = capacity_ < 8 ? 8 : capacity_ * 2;
    reserve(needed > doubled ? needed : doubled);
  }

  T* data_ = nullptr;
  std::size_t length_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace textgrid
