#include <array>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>

#include "corvane/utils/json.hpp"

namespace corvane::utils::json::encoder {
namespace {

// For each byte: 0 when it stands as it is in a JSON string, else the letter after the backslash
// ('u' for the \u00XX form).
constexpr std::array<char, 256> kEscapes = [] {
  std::array<char, 256> table{};
  for (int c = 0; c < 0x20; ++c) table[c] = 'u';
  table['\b'] = 'b';
  table['\f'] = 'f';
  table['\n'] = 'n';
  table['\r'] = 'r';
  table['\t'] = 't';
  table['"'] = '"';
  table['\\'] = '\\';
  table[0x7F] = 'u';  // DEL is a control character too; escaped so it cannot hide in logs
  return table;
}();

// Writes the body of a JSON string: runs of plain bytes in one piece, escapes in between.
template <class Append>
void escape(std::string_view text, Append&& append) {
  const char* run = text.data();
  const char* const end = run + text.size();
  for (const char* p = run; p != end; ++p) {
    const char letter = kEscapes[static_cast<unsigned char>(*p)];
    if (letter == 0) continue;
    if (p != run) append(run, static_cast<std::size_t>(p - run));
    if (letter == 'u') {
      static constexpr char kHex[] = "0123456789abcdef";
      const auto byte = static_cast<unsigned char>(*p);
      const char sequence[6] = {'\\', 'u', '0', '0', kHex[byte >> 4], kHex[byte & 0x0F]};
      append(sequence, 6);
    } else {
      const char sequence[2] = {'\\', letter};
      append(sequence, 2);
    }
    run = p + 1;
  }
  if (run != end) append(run, static_cast<std::size_t>(end - run));
}

// Length of the leading run that needs no escaping, eight bytes at a time.
std::size_t plainPrefix(std::string_view text) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ull;
  constexpr std::uint64_t kHighs = 0x8080808080808080ull;
  auto hasZero = [](std::uint64_t x) { return (x - kOnes) & ~x & kHighs; };
  std::size_t i = 0;
  for (; i + 8 <= text.size(); i += 8) {
    std::uint64_t word;
    std::memcpy(&word, text.data() + i, 8);
    // A control byte (< 0x20), '"', '\\' or DEL anywhere in the word ends the fast scan.
    std::uint64_t special = ((word - kOnes * 0x20) & ~word & kHighs) | hasZero(word ^ (kOnes * '"')) |
                            hasZero(word ^ (kOnes * '\\')) | hasZero(word ^ (kOnes * 0x7F));
    if (special) break;
  }
  while (i < text.size() && kEscapes[static_cast<unsigned char>(text[i])] == 0) ++i;
  return i;
}

}  // namespace

void detail::Writer::string(std::string_view text) {
  out->put('"');
  std::size_t plain = plainPrefix(text);
  out->write(text.data(), plain);
  if (plain != text.size()) {
    escape(text.substr(plain), [this](const char* data, std::size_t count) { out->write(data, count); });
  }
  out->put('"');
}

Document::Document(io::OutputStream<char>& out, int format) : writer_{&out} {
  if (format != 1) {
    throw std::invalid_argument("unsupported JSON output format " + std::to_string(format) +
                                " (only format 1, compact JSON, is available)");
  }
}

void appendEscaped(std::string& out, std::string_view text) {
  escape(text, [&out](const char* data, std::size_t count) { out.append(data, count); });
}

std::string memberName(std::string_view name) {
  std::string text = "\"";
  appendEscaped(text, name);
  text += "\":";
  return text;
}

}  // namespace corvane::utils::json::encoder
