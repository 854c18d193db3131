#pragma once
// Byte streams of the utility library. Output streams write into a buffer window that the
// concrete stream supplies, so the common case is one bounds check and a copy.
#include <cstddef>
#include <cstring>
#include <string>

namespace corvane::utils::io {

class StreamBase {
 public:
  virtual ~StreamBase() = default;
  // What the stream reads or writes, for messages ("in-memory text string", a file name).
  virtual std::string description() const = 0;
};

template <class C>
class OutputStream : public virtual StreamBase {
 public:
  void write(const C* data, std::size_t count) {
    if (count <= static_cast<std::size_t>(end_ - position_)) {
      // Most writes are short (punctuation, keys, numbers): copied inline, up to 16 characters in
      // two fixed-size copies that may overlap, which cost a few moves instead of a loop.
      if (sizeof(C) == 1 && count >= 8 && count <= 16) {
        std::memcpy(position_, data, 8);
        std::memcpy(position_ + count - 8, data + count - 8, 8);
      } else if (sizeof(C) == 1 && count >= 4 && count < 8) {
        std::memcpy(position_, data, 4);
        std::memcpy(position_ + count - 4, data + count - 4, 4);
      } else if (count <= 16) {
        for (std::size_t i = 0; i < count; ++i) position_[i] = data[i];
      } else {
        std::memcpy(position_, data, count * sizeof(C));
      }
      position_ += count;
      return;
    }
    writeSlow(data, count);
  }
  void put(C c) {
    if (position_ == end_) bufferExhausted();
    *position_++ = c;
  }

 protected:
  // Blocks at least this long bypass the buffer window and go to writeBlock.
  static constexpr std::size_t kBlockThreshold = 4096;

  void setWriteBuffer(C* begin, C* end) noexcept {
    position_ = begin;
    end_ = end;
  }
  C* writePosition() const noexcept { return position_; }
  C* writeEnd() const noexcept { return end_; }

  // Called when the window is full and more is to be written; must leave room for at least one
  // more element (or throw).
  virtual void bufferExhausted() = 0;
  // Writes a block that does not fit the window; returns the count given.
  virtual std::size_t writeBlock(const C* data, std::size_t count) = 0;

 private:
  void writeSlow(const C* data, std::size_t count) {
    if (count >= kBlockThreshold) {
      writeBlock(data, count);
      return;
    }
    while (count != 0) {
      if (position_ == end_) bufferExhausted();
      std::size_t room = static_cast<std::size_t>(end_ - position_);
      std::size_t n = count < room ? count : room;
      std::memcpy(position_, data, n * sizeof(C));
      position_ += n;
      data += n;
      count -= n;
    }
  }

  C* position_ = nullptr;
  C* end_ = nullptr;
};

class InputStream : public virtual StreamBase {
 public:
  // Reads up to count bytes; 0 means the end of the stream.
  virtual std::size_t read(char* data, std::size_t count) = 0;
  // The remaining size when it is known up front (memory, regular files), else 0.
  virtual std::size_t sizeHint() const { return 0; }
  // A contiguous view of all remaining bytes when the stream has one, else nullptr.
  virtual const char* contiguous() const { return nullptr; }
};

class MemoryInputStream final : public InputStream {
 public:
  MemoryInputStream(const char* begin, const char* end) noexcept : position_(begin), end_(end) {}
  std::size_t read(char* data, std::size_t count) override {
    std::size_t n = static_cast<std::size_t>(end_ - position_);
    if (count < n) n = count;
    if (n != 0) std::memcpy(data, position_, n);
    position_ += n;
    return n;
  }
  std::size_t sizeHint() const override { return static_cast<std::size_t>(end_ - position_); }
  const char* contiguous() const override { return position_; }
  std::string description() const override { return "in-memory data"; }

 private:
  const char* position_;
  const char* end_;
};

}  // namespace corvane::utils::io
