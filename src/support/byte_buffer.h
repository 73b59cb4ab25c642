// Growable byte buffer that encoders append to in place.
//
// msgpack's packer calls write() for every header and scalar, so write() is
// an inlined capacity check and memcpy; growth is out of line. A failed
// record is undone by truncate() back to the length it started at.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <utility>

namespace vesh {

class ByteBuffer {
 public:
  ByteBuffer() noexcept = default;
  explicit ByteBuffer(std::size_t capacity) { reserve(capacity); }
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;
  ByteBuffer(ByteBuffer&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)) {}
  ByteBuffer& operator=(ByteBuffer&& other) noexcept {
    if (this != &other) {
      std::free(data_);
      data_ = std::exchange(other.data_, nullptr);
      size_ = std::exchange(other.size_, 0);
      capacity_ = std::exchange(other.capacity_, 0);
    }
    return *this;
  }
  ~ByteBuffer() { std::free(data_); }

  // The packer's sink interface.
  void write(const char* bytes, std::size_t n) {
    if (n > capacity_ - size_) [[unlikely]]
      grow(n);
    std::memcpy(data_ + size_, bytes, n);
    size_ += n;
  }
  void append(std::string_view bytes) { write(bytes.data(), bytes.size()); }
  void push_back(char byte) {
    if (size_ == capacity_) [[unlikely]]
      grow(1);
    data_[size_++] = byte;
  }

  const char* data() const noexcept { return data_; }
  char* data() noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }
  std::size_t capacity() const noexcept { return capacity_; }
  bool empty() const noexcept { return size_ == 0; }
  std::string_view view() const noexcept { return {data_, size_}; }

  void truncate(std::size_t n) noexcept {
    if (n < size_) size_ = n;
  }
  void clear() noexcept { size_ = 0; }
  void reserve(std::size_t capacity) {
    if (capacity > capacity_) reallocate(capacity);
  }
  // Room for `n` more bytes without further growth.
  void reserve_more(std::size_t n) {
    if (n > capacity_ - size_) grow(n);
  }
  // Grows the buffer by `n` uninitialised bytes and returns where they start
  // (for reads that fill the buffer directly).
  char* extend(std::size_t n) {
    reserve_more(n);
    char* start = data_ + size_;
    size_ += n;
    return start;
  }
  // Gives up the storage; the buffer is empty afterwards.
  void release_storage() noexcept {
    std::free(std::exchange(data_, nullptr));
    size_ = capacity_ = 0;
  }

 private:
  void grow(std::size_t extra) {
    std::size_t wanted = size_ + extra;
    std::size_t doubled = capacity_ < 64 ? 64 : capacity_ * 2;
    reallocate(wanted > doubled ? wanted : doubled);
  }
  void reallocate(std::size_t capacity) {
    void* p = std::realloc(data_, capacity);
    if (p == nullptr) throw std::bad_alloc();
    data_ = static_cast<char*>(p);
    capacity_ = capacity;
  }

  char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace vesh
