#include "terminalText.hpp"

namespace corvane::run {

namespace {

constexpr char kHex[] = "0123456789abcdef";

void appendEscaped(std::string& out, std::string_view prefix, unsigned value) {
  out += prefix;
  out += kHex[(value >> 4) & 0xF];
  out += kHex[value & 0xF];
}

bool continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// The length of the well-formed UTF-8 sequence that starts `text` (RFC 3629: no overlong forms, no
// surrogates, nothing above U+10FFFF), or 0 when it does not start one.
std::size_t sequenceLength(std::string_view text) {
  const auto at = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = at(0);
  std::size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // overlong
    if (lead == 0xED) high = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;   // overlong
    if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
  } else {
    return 0;
  }
  if (text.size() < length || at(1) < low || at(1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if (!continuation(at(i))) return 0;
  }
  return length;
}

}  // namespace

std::string terminalText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x20 || byte == 0x7F) {
      appendEscaped(out, "\\x", byte);
      ++i;
    } else if (byte < 0x80) {
      out += static_cast<char>(byte);
      ++i;
    } else if (const std::size_t length = sequenceLength(text.substr(i))) {
      // U+0080 to U+009F are C2 80 to C2 9F: terminals that decode UTF-8 act on them as C1 controls.
      if (byte == 0xC2 && static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
        appendEscaped(out, "\\u00", static_cast<unsigned char>(text[i + 1]));
      } else {
        out.append(text.substr(i, length));
      }
      i += length;
    } else {
      appendEscaped(out, "\\x", byte);
      ++i;
    }
  }
  return out;
}

std::size_t terminalWidth(std::string_view text) {
  std::size_t width = 0;
  for (char c : text) width += continuation(static_cast<unsigned char>(c)) ? 0 : 1;
  return width;
}

}  // namespace corvane::run
