#pragma once
// UTF-8 and UTF-32 transcoding, one code unit at a time, into a sink: any callable taking the
// produced unit (char32_t for decoders, char for the UTF-8 encoder).
#include <cstdint>
#include <string>

namespace corvane::utils::string {

inline constexpr char32_t kReplacementCharacter = 0xFFFD;

// Decodes UTF-8. Malformed input (stray continuation bytes, overlong forms, encoded surrogates,
// values above U+10FFFF, truncated sequences) yields U+FFFD for each maximal bad subpart.
class Utf8Decoder {
 public:
  template <class Sink>
  void put(unsigned char unit, Sink&& sink) {
    if (need_ != 0) {
      if ((unit & 0xC0) == 0x80 && unit >= lower_ && unit <= upper_) {
        value_ = (value_ << 6) | (unit & 0x3F);
        lower_ = 0x80;
        upper_ = 0xBF;
        if (--need_ == 0) sink(value_);
        return;
      }
      need_ = 0;
      sink(kReplacementCharacter);
    }
    if (unit < 0x80) {
      sink(static_cast<char32_t>(unit));
    } else if (unit >= 0xC2 && unit <= 0xDF) {
      start(unit & 0x1F, 1, 0x80, 0xBF);
    } else if (unit >= 0xE0 && unit <= 0xEF) {
      start(unit & 0x0F, 2, unit == 0xE0 ? 0xA0 : 0x80, unit == 0xED ? 0x9F : 0xBF);
    } else if (unit >= 0xF0 && unit <= 0xF4) {
      start(unit & 0x07, 3, unit == 0xF0 ? 0x90 : 0x80, unit == 0xF4 ? 0x8F : 0xBF);
    } else {
      sink(kReplacementCharacter);
    }
  }
  // End of input: a sequence left open is malformed.
  template <class Sink>
  void finish(Sink&& sink) {
    if (need_ != 0) {
      need_ = 0;
      sink(kReplacementCharacter);
    }
  }

 private:
  void start(unsigned bits, int need, unsigned char lower, unsigned char upper) {
    value_ = bits;
    need_ = need;
    lower_ = lower;
    upper_ = upper;
  }
  char32_t value_ = 0;
  int need_ = 0;
  unsigned char lower_ = 0x80, upper_ = 0xBF;
};

// Encodes code points as UTF-8; surrogates and values above U+10FFFF become U+FFFD.
class Utf8Encoder {
 public:
  template <class Sink>
  void put(char32_t c, Sink&& sink) {
    if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) c = kReplacementCharacter;
    if (c < 0x80) {
      sink(static_cast<char>(c));
    } else if (c < 0x800) {
      sink(static_cast<char>(0xC0 | (c >> 6)));
      sink(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      sink(static_cast<char>(0xE0 | (c >> 12)));
      sink(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      sink(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      sink(static_cast<char>(0xF0 | (c >> 18)));
      sink(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      sink(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      sink(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  template <class Sink>
  void finish(Sink&&) {}
};

// UTF-32 passes code points through, replacing invalid ones.
class Utf32Decoder {
 public:
  template <class Sink>
  void put(char32_t unit, Sink&& sink) {
    sink(((unit >= 0xD800 && unit <= 0xDFFF) || unit > 0x10FFFF) ? kReplacementCharacter : unit);
  }
  template <class Sink>
  void finish(Sink&&) {}
};
using Utf32Encoder = Utf32Decoder;

// Appends one code point to a UTF-8 string.
inline void appendUtf8(std::string& out, char32_t c) {
  Utf8Encoder{}.put(c, [&](char b) { out.push_back(b); });
}

// True when the bytes are well-formed UTF-8.
bool isValidUtf8(const char* data, std::size_t size) noexcept;

}  // namespace corvane::utils::string
