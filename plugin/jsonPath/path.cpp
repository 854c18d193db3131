#include "jsonPath/path.hpp"

#include <algorithm>
#include <bit>
#include <charconv>
#include <system_error>

#include <corvane/utils/string.hpp>

namespace corvane::plugins::mqttClient::jsonPath {

namespace {

bool isBlank(char c) noexcept { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool isDigit(char c) noexcept { return c >= '0' && c <= '9'; }

// Letters, underscore and everything outside ASCII except surrogates may start a shorthand name.
bool isNameFirst(char32_t c) noexcept {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || (c >= 0x80 && c <= 0xD7FF) ||
         (c >= 0xE000 && c <= 0x10FFFF);
}
bool isNameChar(char32_t c) noexcept { return isNameFirst(c) || (c >= '0' && c <= '9'); }

// What a quoted name may hold without an escape: no control characters, quotes or backslash (the quote
// that does not delimit the literal is let through before this test).
bool isUnescaped(char32_t c) noexcept {
  return (c >= 0x20 && c <= 0x21) || (c >= 0x23 && c <= 0x26) || (c >= 0x28 && c <= 0x5B) ||
         (c >= 0x5D && c <= 0xD7FF) || (c >= 0xE000 && c <= 0x10FFFF);
}

int hexValue(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string at(std::size_t position) { return std::to_string(position); }

class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text) {}

  Path run() {
    enum class State { Root, Between, AfterDot, Bracket, Selector, AfterSelector, Close };
    State state = State::Root;
    while (pos_ < text_.size()) {
      const char c = text_[pos_];
      switch (state) {
        case State::Root:
          if (c != '$') {
            throw SyntaxError("expected root identifier '$' at " + at(pos_) + ", found " + std::string(1, c));
          }
          ++pos_;
          state = State::Between;
          break;
        case State::Between:
          if (isBlank(c)) {
            ++pos_;
          } else if (c == '.') {
            ++pos_;
            state = State::AfterDot;
          } else if (c == '[') {
            ++pos_;
            state = State::Bracket;
          } else {
            throw SyntaxError("invalid JSON path segment start character '" + std::string(1, c) + "' at index " +
                              at(pos_));
          }
          break;
        case State::AfterDot:
          if (c == '*') throw UnsupportedError("JSON path wildcard selectors are not supported");
          if (c == '.') throw UnsupportedError("JSON path descendant segments are not supported");
          path_.emplace_back(std::in_place_index<kName>, readShorthand());
          state = State::Between;
          break;
        case State::Bracket:
          if (isBlank(c)) {
            ++pos_;
          } else {
            state = State::Selector;
          }
          break;
        case State::Selector:
          if (c == '*') throw UnsupportedError("JSON path wildcard selectors are not supported");
          if (c == '?') throw UnsupportedError("JSON path filter selectors are not supported");
          if (c == ':') throw UnsupportedError("JSON path slice selectors are not supported");
          if (c == '"' || c == '\'') {
            path_.emplace_back(std::in_place_index<kName>, readStringLiteral());
          } else if (isDigit(c) || c == '-') {
            path_.emplace_back(std::in_place_index<kIndex>, readIndex());
          } else {
            throw SyntaxError("malformed JSON path selector at index " + at(pos_));
          }
          state = State::AfterSelector;
          break;
        case State::AfterSelector:
          if (c == ',') throw UnsupportedError("JSON path multi-selector bracket selection is not supported");
          if (isBlank(c)) {
            ++pos_;
          } else {
            state = State::Close;
          }
          break;
        case State::Close:
          if (c != ']') throw SyntaxError("unexpected closing bracket ']' at index " + at(pos_));
          ++pos_;
          state = State::Between;
          break;
      }
    }
    if (state != State::Between) throw SyntaxError("unexpected JSON path termination");
    if (isBlank(text_.back())) throw SyntaxError("unexpected blank space at the end of JSON path");
    return std::move(path_);
  }

 private:
  // One UTF-8 sequence, its length taken from the lead byte alone; the host decoder judges the rest.
  char32_t readCodePoint() {
    const auto lead = static_cast<unsigned char>(text_[pos_]);
    const int ones = std::countl_one(lead);
    const int length = ones >= 2 && ones <= 4 ? ones : 1;
    utils::string::Utf8Decoder decoder;
    char32_t codePoint = 0;
    bool decoded = false;
    const auto sink = [&](char32_t c) {
      if (!decoded) codePoint = c;  // a malformed sequence may yield several replacements: keep the first
      decoded = true;
    };
    for (int i = 0; i < length; ++i) {
      if (pos_ >= text_.size()) throw SyntaxError("early termination of UTF8 code unit sequence");
      const auto unit = static_cast<unsigned char>(text_[pos_]);
      if (i > 0 && (unit & 0xC0) != 0x80) throw SyntaxError("invalid UTF8 code unit sequence at " + at(pos_));
      decoder.put(unit, sink);
      ++pos_;
    }
    decoder.finish(sink);
    return codePoint;
  }

  std::string readShorthand() {
    if (isBlank(text_[pos_])) {
      throw SyntaxError("blank space at the start of JSON path member name shorthand at " + at(pos_));
    }
    std::string name;
    while (pos_ < text_.size() && text_[pos_] != '.' && text_[pos_] != '[' && !isBlank(text_[pos_])) {
      const char32_t c = readCodePoint();
      if (name.empty() && !isNameFirst(c)) {
        throw SyntaxError("invalid character at the beginning of member name shorthand starting at " + at(pos_));
      }
      if (!isNameChar(c)) throw SyntaxError("invalid character in member name shorthand starting at " + at(pos_));
      utils::string::appendUtf8(name, c);
    }
    if (name.empty()) throw SyntaxError("empty member name shorthand at " + at(pos_));
    return name;
  }

  std::string readStringLiteral() {
    const char quote = text_[pos_++];
    const char otherQuote = quote == '"' ? '\'' : '"';
    std::string name;
    while (pos_ < text_.size()) {
      const char c = text_[pos_];
      if (c == quote) {
        ++pos_;
        return name;
      }
      char32_t codePoint = 0;
      if (c == '\\') {
        codePoint = readEscape(quote);
      } else {
        codePoint = readCodePoint();
        if (codePoint != static_cast<unsigned char>(otherQuote) && !isUnescaped(codePoint)) {
          throw SyntaxError("invalid unescaped string literal code point at " + at(pos_));
        }
      }
      utils::string::appendUtf8(name, codePoint);
    }
    throw SyntaxError("unterminated string literal at " + at(text_.size()));
  }

  char32_t readEscape(char quote) {
    const std::size_t backslash = pos_;
    const auto invalid = [&] {
      return SyntaxError("invalid JSON path string literal escape sequence at " + at(backslash));
    };
    if (backslash + 1 >= text_.size()) throw invalid();
    const char next = text_[backslash + 1];
    char32_t codePoint = 0;
    if (next == quote || next == '"' || next == '/' || next == '\\') {
      codePoint = static_cast<unsigned char>(next);
    } else if (next == 'b') {
      codePoint = 0x08;
    } else if (next == 'f') {
      codePoint = 0x0C;
    } else if (next == 'n') {
      codePoint = 0x0A;
    } else if (next == 'r') {
      codePoint = 0x0D;
    } else if (next == 't') {
      codePoint = 0x09;
    } else if (next == 'u') {
      return readUnicodeEscape();
    } else {
      throw invalid();
    }
    pos_ += 2;
    return codePoint;
  }

  // One \uXXXX unit, consumed whole.
  char32_t readUnit() {
    const std::size_t start = pos_;
    if (text_.size() - start < 6 || text_[start] != '\\' || text_[start + 1] != 'u') {
      throw SyntaxError("invalid JSON path Unicode escape sequence at " + at(start));
    }
    char32_t unit = 0;
    for (std::size_t i = start + 2; i < start + 6; ++i) {
      const int digit = hexValue(text_[i]);
      if (digit < 0) throw SyntaxError("invalid JSON path hex digit at " + at(i));
      unit = (unit << 4) | static_cast<char32_t>(digit);
    }
    pos_ = start + 6;
    return unit;
  }

  // Code points beyond the basic plane come as a high and a low surrogate escape, back to back.
  char32_t readUnicodeEscape() {
    const char32_t high = readUnit();
    if (high < 0xD800 || high > 0xDFFF) return high;
    if (high >= 0xDC00) {
      throw SyntaxError("expected none or high surrogate JSON path Unicode escape sequence at " + at(pos_));
    }
    const std::size_t lowStart = pos_;
    const char32_t low = readUnit();
    if (low < 0xDC00 || low > 0xDFFF) {
      throw SyntaxError("expected low surrogate JSON path escape sequence after high surrogate at " + at(lowStart));
    }
    return 0x10000 + (((high & 0x3FF) << 10) | (low & 0x3FF));
  }

  std::uint64_t readIndex() {
    const std::size_t start = pos_;
    if (text_[start] == '0' && start + 1 < text_.size() && isDigit(text_[start + 1])) {
      throw SyntaxError("leading zero detected in index selector at " + at(start));
    }
    std::int64_t value = 0;
    const char* const end = text_.data() + text_.size();
    const auto [next, error] = std::from_chars(text_.data() + start, end, value);
    if (error != std::errc{}) {
      throw SyntaxError("Invalid index in JSON path index selector at index " + at(start) +
                        ", reading number failed with error \"" + std::make_error_code(error).message() + "\"");
    }
    pos_ = static_cast<std::size_t>(next - text_.data());
    // Only blank space may stand between the number and the closing bracket.
    for (std::size_t i = pos_; i < text_.size() && text_[i] != ']'; ++i) {
      if (isBlank(text_[i])) continue;
      if (text_[i] == ':') throw UnsupportedError("use of unsupported JSON path slice selector at " + at(start));
      throw SyntaxError("unexpected token in JSON path index selector at " + at(start));
    }
    if (value < 0) {
      throw UnsupportedError("use of unsupported negative index in JSON path index selector at " + at(pos_));
    }
    const auto index = static_cast<std::uint64_t>(value);
    if (index > kMaxIndex) throw SyntaxError("out of range value for JSON path index selector at " + at(pos_));
    return index;
  }

  std::string_view text_;
  std::size_t pos_ = 0;
  Path path_;
};

}  // namespace

Path parse(std::string_view text) {
  if (text.empty()) throw SyntaxError("invalid JSON path");
  return Parser(text).run();
}

namespace {

// A place in a decoded message.
class ValueCursor {
 public:
  explicit ValueCursor(const JsonValue& value) noexcept : value_(&value) {}
  const JsonValue& value() const noexcept { return *value_; }
  bool isObject() const noexcept { return value_->index() == JsonValue::kObject; }
  bool isArray() const noexcept { return value_->index() == JsonValue::kArray; }
  std::optional<ValueCursor> member(const std::string& name) const {
    const auto& object = *value_->getIf<JsonValue::Object>();
    const auto found = std::find_if(object.begin(), object.end(), [&](const auto& entry) { return entry.first == name; });
    if (found == object.end()) return std::nullopt;
    return ValueCursor(found->second);
  }
  std::optional<ValueCursor> element(std::uint64_t index) const {
    const auto& array = *value_->getIf<JsonValue::Array>();
    if (index >= array.size()) return std::nullopt;
    return ValueCursor(array[static_cast<std::size_t>(index)]);
  }

 private:
  const JsonValue* value_;
};

}  // namespace

const JsonValue* find(const JsonValue& value, std::span<const Segment> path, std::string& failure) {
  const auto selected = follow(ValueCursor(value), path, failure);
  return selected ? &selected->value() : nullptr;
}

const JsonValue& evaluate(const JsonValue& value, const Path& path) {
  std::string failure;
  const JsonValue* selected = find(value, path, failure);
  if (selected == nullptr) throw std::runtime_error(failure);
  return *selected;
}

}  // namespace corvane::plugins::mqttClient::jsonPath
