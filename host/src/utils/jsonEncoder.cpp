#include <array>
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

}  // namespace

void detail::Writer::string(std::string_view text) {
  out->put('"');
  escape(text, [this](const char* data, std::size_t count) { out->write(data, count); });
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

}  // namespace corvane::utils::json::encoder
