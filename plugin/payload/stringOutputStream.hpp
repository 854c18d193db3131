#pragma once
// An output stream that collects text in a string, writing straight into the string's characters.
#include <cstddef>
#include <string>
#include <string_view>

#include <corvane/utils/io.hpp>

namespace corvane::plugins::mqttClient {

// The write window always lies inside the string: from the write position to the string's end.
// The string therefore holds the text written plus spare room, which takeText() cuts off.
class StringOutputStream final : public utils::io::OutputStream<char> {
 public:
  StringOutputStream() noexcept { setWriteBuffer(text_.data(), text_.data()); }
  // The window points into the string (possibly its inline storage): never copied or moved.
  StringOutputStream(const StringOutputStream&) = delete;
  StringOutputStream& operator=(const StringOutputStream&) = delete;

  std::string description() const override { return "in-memory text string"; }

  // The text written so far, valid until the next write.
  std::string_view text() const noexcept { return {text_.data(), writeOffset()}; }
  // Hands the text written so far to the caller and starts again with an empty string.
  std::string takeText();
  // Starts again at the beginning, keeping the room the texts before took (up to `retain` bytes),
  // so that a stream reused for text after text of about one length stops allocating.
  void restart(std::size_t retain);

 protected:
  void bufferExhausted() override;
  std::size_t writeBlock(const char* data, std::size_t count) override;

 private:
  std::size_t writeOffset() const noexcept { return static_cast<std::size_t>(writePosition() - text_.data()); }

  std::string text_;
};

}  // namespace corvane::plugins::mqttClient
