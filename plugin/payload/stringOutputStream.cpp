#include "payload/stringOutputStream.hpp"

#include <cstdint>
#include <limits>
#include <stdexcept>

namespace corvane::plugins::mqttClient {

namespace {
constexpr std::size_t kMaxLength = static_cast<std::size_t>(std::numeric_limits<std::int64_t>::max());
}  // namespace

void StringOutputStream::bufferExhausted() {
  const std::size_t offset = writeOffset();
  const std::size_t length = text_.size();
  std::size_t newLength;
  if (length < text_.capacity()) {
    // Use the room the string already has (the inline buffer, or what resize over-allocated).
    newLength = text_.capacity();
  } else if (length == kMaxLength) {
    throw std::length_error("string data size exceeds representable size");
  } else {
    newLength = length > kMaxLength / 2 ? kMaxLength : length * 2;
  }
  text_.resize(newLength);
  setWriteBuffer(text_.data() + offset, text_.data() + text_.size());
}

std::size_t StringOutputStream::writeBlock(const char* data, std::size_t count) {
  text_.resize(writeOffset());
  text_.append(data, count);
  setWriteBuffer(text_.data() + text_.size(), text_.data() + text_.size());
  return count;
}

std::string StringOutputStream::takeText() {
  text_.resize(writeOffset());
  std::string text = std::move(text_);
  text_ = std::string();
  setWriteBuffer(text_.data(), text_.data());
  return text;
}

void StringOutputStream::restart(std::size_t retain) {
  if (text_.capacity() > retain) text_ = std::string();
  setWriteBuffer(text_.data(), text_.data() + text_.size());
}

}  // namespace corvane::plugins::mqttClient
