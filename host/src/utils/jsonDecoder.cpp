// The JSON reader: simdjson's first stage finds the tokens (and checks UTF-8 and string
// boundaries); a small pull parser on top walks them forward, checks the grammar of every token it
// passes (also of skipped values) and limits the nesting depth.
#include <simdjson.h>

#include <algorithm>
#include <bit>
#include <bitset>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <system_error>
#include <type_traits>

#include "corvane/utils/json.hpp"
#include "utf8.hpp"

namespace corvane::utils::json::decoder {

namespace ondemand = simdjson::ondemand;

namespace {

constexpr std::uint32_t kMaxDepth = 1024;
constexpr std::size_t kPadding = simdjson::SIMDJSON_PADDING;
// A thread's parser and buffer grow to the largest document seen; beyond this they are given back
// after the document, so one huge message does not pin the memory.
constexpr std::size_t kRetainLimit = std::size_t{16} << 20;
constexpr std::size_t kInitialStreamBuffer = std::size_t{64} << 10;
// Longest piece of document text quoted in an error message.
constexpr std::size_t kExcerptLength = 32;

// The parser, the padded copy of the text and the string buffer behind every string_view handed
// out: one set per document being read.
struct Workspace {
  ondemand::parser parser;
  std::unique_ptr<char[]> buffer;
  std::size_t capacity = 0;  // bytes for text; kPadding more are allocated behind them
  bool inUse = false;

  // Room for at least `size` bytes of text, keeping the first `keep` bytes.
  char* ensure(std::size_t size, std::size_t keep) {
    if (size > capacity || !buffer) {
      auto fresh = std::make_unique_for_overwrite<char[]>(size + kPadding);
      if (keep != 0) std::memcpy(fresh.get(), buffer.get(), keep);
      buffer = std::move(fresh);
      capacity = size;
    }
    return buffer.get();
  }
  void trim() {
    if (capacity > kRetainLimit || parser.capacity() > kRetainLimit) {
      parser = ondemand::parser{};
      buffer.reset();
      capacity = 0;
    }
  }
};

// Documents read one after another on a thread share this one; a document read while another is
// open on the same thread gets a workspace of its own.
Workspace& threadWorkspace() {
  thread_local Workspace workspace;
  return workspace;
}

// Tokens are positions in simdjson's structural index: each entry is the byte offset of one token
// in the indexed text, and the entry after the last token holds that text's length.
using TokenPosition = const std::uint32_t*;
// What the opaque storage of the public classes holds: where tokens stand in the whole text (an
// index holds one window of a large text at a time).
struct ValueRef {
  std::uint32_t offset;  // of the value's first token
  std::uint32_t depth;   // open containers around the value
};
struct ContainerRef {
  std::uint32_t body;     // the token after '{' or '['
  std::uint32_t bracket;  // the '{' or '['
  std::uint32_t depth;    // open containers inside, this one included
};
struct MemberRef {
  std::uint32_t value;
  std::uint32_t depth;
  std::uint32_t nameOffset;
  std::uint32_t nameLength;
  const char* name;
};
struct ElementRef {
  std::uint32_t value;
  std::uint32_t depth;
};

template <class T, std::size_t N>
void store(std::byte (&storage)[N], const T& value) noexcept {
  static_assert(sizeof(T) <= N && std::is_trivially_copyable_v<T>);
  std::memcpy(storage, &value, sizeof(T));
}
template <class T, std::size_t N>
T load(const std::byte (&storage)[N]) noexcept {
  static_assert(sizeof(T) <= N && std::is_trivially_copyable_v<T>);
  T value;
  std::memcpy(&value, storage, sizeof(T));
  return value;
}
detail::ValueStorage valueStorage(ValueRef ref) noexcept {
  detail::ValueStorage storage;
  store(storage.bytes, ref);
  return storage;
}

bool isBlank(char c) noexcept { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }

// Most strings are names and short values: looked at eight bytes at a time in place, which costs
// less than a call. Reads up to seven bytes past the string, which the padding behind the text
// covers.
bool hasBackslash(const char* text, std::size_t length) noexcept {
  if constexpr (std::endian::native == std::endian::little) {
    if (length <= 32) {
      constexpr std::uint64_t kOnes = 0x0101010101010101u;
      constexpr std::uint64_t kHighBits = 0x8080808080808080u;
      for (std::size_t i = 0; i < length; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, text + i, sizeof word);
        word ^= kOnes * static_cast<unsigned char>('\\');  // zero bytes where backslashes stand
        std::uint64_t zeros = (word - kOnes) & ~word & kHighBits;
        // Only bytes of the string count; a zero byte flags only itself and bytes above it.
        if (length - i < 8) zeros &= (std::uint64_t{1} << (8 * (length - i))) - 1;
        if (zeros != 0) return true;
      }
      return false;
    }
  }
  return std::memchr(text, '\\', length) != nullptr;
}

bool isDigit(char c) noexcept { return c >= '0' && c <= '9'; }

// Document text for a message: cut at a character boundary, escaped like a JSON string.
std::string excerpt(std::string_view text) {
  if (text.size() <= kExcerptLength) return std::string(text);
  std::size_t cut = kExcerptLength;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return std::string(text.substr(0, cut)) + "...";
}
std::string quote(std::string_view text) {
  std::string result = "\"";
  encoder::appendEscaped(result, excerpt(text));
  result.push_back('"');
  return result;
}

const char* kindName(Value::Kind kind) noexcept {
  switch (kind) {
    case Value::Kind::kNull: return "JSON null";
    case Value::Kind::kBoolean: return "JSON boolean";
    case Value::Kind::kNumber: return "JSON number";
    case Value::Kind::kString: return "JSON string";
    case Value::Kind::kArray: return "JSON array";
    case Value::Kind::kObject: return "JSON object";
  }
  return "JSON value";
}

// What one pass over a number's text found, kept for the number being read so that its text is
// looked at once: by the check at the start of the value, then by whichever conversion reads it.
struct NumberScan {
  std::size_t offset = SIZE_MAX;  // of the number this describes, in the whole text
  bool real = false;              // has a fraction or an exponent
  bool negative = false;
  bool exact = false;             // an integer whose magnitude fits 64 bits
  bool simple = false;            // a real that is `significand` times 10 to `power`, both exact doubles
  std::uint64_t magnitude = 0;    // of an exact integer
  std::uint64_t significand = 0;  // of a simple real: its digits without the point
  int power = 0;                  // of a simple real
};

// JSON number grammar: -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?; false when `text` is not one.
bool scanNumber(std::string_view text, NumberScan& scan) noexcept {
  const char* p = text.data();
  const char* const end = p + text.size();
  scan.negative = p != end && *p == '-';
  if (scan.negative) ++p;
  if (p == end || !isDigit(*p)) return false;
  std::uint64_t digits = 0;
  std::size_t taken = 0;  // digits in `digits`: up to 19 always fit
  bool overflow = false;
  auto take = [&] {
    const auto digit = static_cast<unsigned>(*p - '0');
    if (taken < 19) {
      digits = digits * 10 + digit;
    } else {
      overflow |= __builtin_mul_overflow(digits, 10u, &digits);
      overflow |= __builtin_add_overflow(digits, digit, &digits);
    }
    ++taken;
    ++p;
  };
  if (*p == '0') {
    ++p;
  } else {
    do take();
    while (p != end && isDigit(*p));
  }
  scan.magnitude = digits;
  scan.exact = !overflow;
  bool real = false;
  long long power = 0;
  if (p != end && *p == '.') {
    ++p;
    if (p == end || !isDigit(*p)) return false;
    do {
      take();
      if (power > -1'000'000) --power;
    } while (p != end && isDigit(*p));
    real = true;
  }
  if (p != end && (*p == 'e' || *p == 'E')) {
    ++p;
    const bool negativeExponent = p != end && *p == '-';
    if (p != end && (*p == '+' || *p == '-')) ++p;
    if (p == end || !isDigit(*p)) return false;
    long long exponent = 0;
    do {
      if (exponent < 1'000'000) exponent = exponent * 10 + (*p - '0');
      ++p;
    } while (p != end && isDigit(*p));
    power += negativeExponent ? -exponent : exponent;
    real = true;
  }
  if (p != end) return false;
  scan.real = real;
  scan.exact = scan.exact && !real;
  // Within these bounds one multiplication or division of two exact doubles gives the correctly
  // rounded value, the same a full conversion of the text gives.
  scan.simple = real && !overflow && digits <= (std::uint64_t{1} << 53) && power >= -22 && power <= 22;
  scan.significand = digits;
  scan.power = static_cast<int>(power);
  return true;
}

constexpr double kPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                   1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

constexpr std::uint64_t kInt64Magnitude = std::uint64_t{1} << 63;  // of the smallest int64

// The power of ten of a number's first significant digit (1234 -> 3, 0.05 -> -2); LLONG_MIN for
// zero. Tells an overflow from an underflow when a double does not hold the value.
long long decimalMagnitude(std::string_view text) noexcept {
  std::size_t i = text.starts_with('-') ? 1 : 0;
  long long integerDigits = 0, leadingFractionZeros = 0;
  bool significant = false;
  for (; i < text.size() && isDigit(text[i]); ++i) {
    if (significant || text[i] != '0') {
      significant = true;
      ++integerDigits;
    }
  }
  if (i < text.size() && text[i] == '.') {
    for (++i; i < text.size() && isDigit(text[i]); ++i) {
      if (!significant) {
        if (text[i] == '0') {
          ++leadingFractionZeros;
        } else {
          significant = true;
        }
      }
    }
  }
  long long exponent = 0;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    const bool negative = i < text.size() && text[i] == '-';
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) ++i;
    for (; i < text.size() && isDigit(text[i]); ++i) {
      if (exponent < 1'000'000'000'000LL) exponent = exponent * 10 + (text[i] - '0');
    }
    if (negative) exponent = -exponent;
  }
  if (!significant) return LLONG_MIN;
  return (integerDigits > 0 ? integerDigits - 1 : -(leadingFractionZeros + 1)) + exponent;
}

// A JSON number text as double. Values too small for a double become zero; too large ones are
// out of range (nullopt).
std::optional<double> toDouble(std::string_view text) noexcept {
  double value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error == std::errc{}) return value;
  if (error == std::errc::result_out_of_range && decimalMagnitude(text) < 0) {
    return text.starts_with('-') ? -0.0 : 0.0;
  }
  return std::nullopt;
}

// The number as a double; nullopt when it is too large for one.
std::optional<double> scannedDouble(const NumberScan& scan, std::string_view text) noexcept {
  if (scan.exact) {
    // Converting the integer rounds to nearest, as reading its text would; "-0" stays negative.
    const double value = static_cast<double>(scan.magnitude);
    return scan.negative ? -value : value;
  }
  if (scan.simple) {
    double value = static_cast<double>(scan.significand);
    value = scan.power >= 0 ? value * kPowersOfTen[scan.power] : value / kPowersOfTen[-scan.power];
    return scan.negative ? -value : value;
  }
  return toDouble(text);
}

[[noreturn]] void outOfOrder() {
  throw std::logic_error("JSON value read out of order: each value is read once, in document order");
}

}  // namespace

std::string Location::toString() const { return std::to_string(line) + ":" + std::to_string(column); }

namespace {
std::string withLocation(Location location, const std::string& message) {
  return location.line == 0 ? message : location.toString() + ": " + message;
}
}  // namespace

Exception::Exception(Location location, const std::string& message)
    : std::runtime_error(withLocation(location, message)), location_(location), message_(message) {}
Exception::Exception(Location location, const std::exception& cause)
    : Exception(location, std::string(cause.what())) {}

namespace detail {

// The entry after the last token of the structural index, which the iterator keeps to itself.
struct TokenEnd : ondemand::json_iterator {
  static TokenPosition of(const ondemand::json_iterator& iter) noexcept {
    return (iter.*(&TokenEnd::end_position))();
  }
};
// Where the iterator unescapes strings into its parser's string buffer: the start of that buffer
// for a fresh iterator.
struct StringBuffer : ondemand::json_iterator {
  static std::uint8_t* of(const ondemand::json_iterator& iter) noexcept {
    return iter.*(&StringBuffer::_string_buf_loc);
  }
};

bool isContinuationByte(char c) noexcept { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// Where the reader stands between tokens.
enum class Phase : std::uint8_t {
  kBeforeValue,  // at the first token of a value (checked to start one)
  kAfterValue,   // after a whole value: ',' or a closing bracket follows, or the end of the text
  kArrayStart,   // just after '['
  kObjectStart,  // just after '{'
};

struct DocumentState {
  Workspace* workspace = nullptr;
  std::unique_ptr<Workspace> ownWorkspace;
  std::uint8_t* strings = nullptr;  // where the next unescaped string goes in the parser's buffer
  const char* document = nullptr;   // the whole text
  std::size_t documentSize = 0;
  Location origin{1, 1};

  // The indexed window of the text: all of it, or for a text longer than `window` one piece at a
  // time. A window starts at a token and, unless it is the last, ends outside any string and before
  // a character; its last token may be cut short, so it starts the next window (`windowEnd`).
  std::size_t window = Document::kIndexWindow;
  const char* text = nullptr;  // the window's first byte; offsets in the index count from here
  std::size_t size = 0;
  std::size_t base = 0;  // where the window starts in the whole text
  TokenPosition token = nullptr;  // the current token
  TokenPosition tokenEnd = nullptr;
  TokenPosition windowEnd = nullptr;  // the token that starts the next window; null in the last

  Phase phase = Phase::kBeforeValue;
  std::uint32_t depth = 0;
  std::bitset<kMaxDepth + 1> isObject;  // per open depth: object or array
  std::optional<SyntaxError> failure;   // a document that failed stays failed
  bool started = false;                 // the first stage has run and found a value to read
  NumberScan number;                    // the number most recently come to
  std::uint32_t nameOffset = 0;         // of the member name readMember read last

  // Line cursor: locations are asked for mostly in increasing order, so the line count is carried
  // along from the previous location instead of being counted from the start each time.
  std::size_t scanOffset = 0;
  std::size_t lineStart = 0;
  std::uint64_t line = 1;

  DocumentState() {
    Workspace& shared = threadWorkspace();
    if (!shared.inUse) {
      shared.inUse = true;
      workspace = &shared;
    } else {
      ownWorkspace = std::make_unique<Workspace>();
      workspace = ownWorkspace.get();
    }
  }
  ~DocumentState() {
    if (workspace != ownWorkspace.get()) {
      workspace->trim();
      workspace->inUse = false;
    }
  }
  DocumentState(const DocumentState&) = delete;
  DocumentState& operator=(const DocumentState&) = delete;

  // ---- tokens

  bool atEnd() const noexcept { return token == tokenEnd; }
  TokenPosition cursor() const noexcept { return token; }
  // Offset of the current token in the window, or the window's length at the end.
  std::size_t here() const noexcept { return atEnd() ? size : *cursor(); }
  // The same in the whole text, where references to values keep it.
  std::uint32_t cursorOffset() const noexcept { return static_cast<std::uint32_t>(base + here()); }
  // `c` is a bracket, a separator or a quote: the index entry at the end holds the text's length,
  // and the byte there is the zero of the padding, so the end needs no test of its own.
  bool currentIs(char c) const noexcept { return text[*token] == c; }
  void advance() {
    if (++token == windowEnd) enterNextWindow();
  }

  // A number's or literal's text: up to the next token, without the blanks before it.
  std::string_view scalarText(TokenPosition token) const noexcept {
    const std::size_t begin = token[0];
    std::size_t end = token[1] >= begin && token[1] <= size ? token[1] : size;
    while (end > begin && isBlank(text[end - 1])) --end;
    return {text + begin, end - begin};
  }

  std::string describeCurrent() const {
    if (atEnd()) return "end of JSON text";
    const char c = text[*cursor()];
    switch (c) {
      case '{':
      case '}':
      case '[':
      case ']':
      case ',':
      case ':': return std::string{'\'', c, '\''};
      case '"': return "JSON string";
      default: return quote(scalarText(cursor()));
    }
  }

  // ---- locations and errors

  // `offset` counts from the start of the whole text.
  Location locate(std::size_t offset) noexcept {
    const char* const whole = document;
    if (offset >= scanOffset) {
      const char* p = whole + scanOffset;
      const char* const end = whole + offset;
      while (const void* newline = std::memchr(p, '\n', static_cast<std::size_t>(end - p))) {
        ++line;
        p = static_cast<const char*>(newline) + 1;
        lineStart = static_cast<std::size_t>(p - whole);
      }
    } else {
      const auto lines = std::count(whole + offset, whole + scanOffset, '\n');
      if (lines != 0) {
        line -= static_cast<std::uint64_t>(lines);
        const void* newline = ::memrchr(whole, '\n', offset);
        lineStart = newline ? static_cast<std::size_t>(static_cast<const char*>(newline) - whole) + 1 : 0;
      }
    }
    scanOffset = offset;
    // Text read from a part of a file keeps the file's lines, and its first line the file's columns.
    const std::uint64_t fileLine = origin.line + line - 1;
    const std::uint64_t fileColumn = line == 1 ? origin.column + offset : offset - lineStart + 1;
    return {static_cast<std::uint32_t>(std::min<std::uint64_t>(fileLine, UINT32_MAX)),
            static_cast<std::uint32_t>(std::min<std::uint64_t>(fileColumn, UINT32_MAX))};
  }

  // `offset` counts from the start of the window.
  [[noreturn]] void fail(std::size_t offset, const std::string& message) { failAt(base + offset, message); }
  // `offset` counts from the start of the whole text.
  [[noreturn]] void failAt(std::size_t offset, const std::string& message) {
    failure.emplace(locate(offset), message);
    throw *failure;
  }
  [[noreturn]] void expected(const char* what) {
    fail(here(), std::string("expected ") + what + ", found " + describeCurrent());
  }
  void checkUsable() const {
    if (failure) throw *failure;
  }

  // ---- reading

  // Runs the first stage over the first `length` bytes of the workspace buffer.
  void start(std::size_t length) {
    char* buffer = workspace->buffer.get();
    document = buffer;
    documentSize = length;
    std::memset(buffer + length, 0, kPadding);
    // A byte order mark is allowed before the text; blanking it keeps the offsets of the file.
    if (length >= 3 && std::memcmp(buffer, "\xEF\xBB\xBF", 3) == 0) std::memset(buffer, ' ', 3);
    if (length == 0) failAt(0, "empty JSON text");
    if (length > window) {
      startWindows();
    } else {
      auto result =
          workspace->parser.iterate_raw(simdjson::padded_string_view(buffer, length, length + kPadding));
      if (result.error() != simdjson::SUCCESS) firstStageFailed(result.error());
      take(result.value_unsafe(), 0, length, false);
    }
    requireValueStart();
    started = true;
  }

  // The index of the window from `start` to `end`, which the first stage has just made.
  void take(const ondemand::json_iterator& iter, std::size_t start, std::size_t end, bool more) {
    text = document + start;
    size = end - start;
    base = start;
    token = iter.position();
    tokenEnd = TokenEnd::of(iter);
    if (strings == nullptr) strings = StringBuffer::of(iter);
    // The first stage closes its index with the window's length, which currentIs relies on.
    if (*tokenEnd != size) throw std::logic_error("JSON token index not closed by the text's length");
    windowEnd = more ? tokenEnd - 1 : nullptr;
  }

  // A text longer than a window: every window's first stage runs once before anything is read, so
  // that a fault anywhere in the text is reported before the text is read, as with one first
  // stage over all of it; then the windows are indexed again, one after another, as reading
  // reaches them. The parser is sized for the whole text: its string buffer takes every string
  // unescaped, while the index uses only a window's room.
  void startWindows() {
    if (workspace->parser.capacity() < documentSize) {
      if (const auto error = workspace->parser.allocate(documentSize); error != simdjson::SUCCESS) {
        firstStageFailed(error);
      }
    }
    for (std::size_t start = 0; indexWindow(start);) start = base + *windowEnd;
    indexWindow(0);
  }

  // At windowEnd, the first token of the next window.
  void enterNextWindow() { indexWindow(base + *token); }

  simdjson::simdjson_result<ondemand::json_iterator> firstStage(std::size_t start, std::size_t end) {
    return workspace->parser.iterate_raw(
        simdjson::padded_string_view(document + start, end - start, documentSize + kPadding - start));
  }
  static std::size_t tokenCount(const ondemand::json_iterator& iter) noexcept {
    return static_cast<std::size_t>(TokenEnd::of(iter) - iter.position());
  }

  // Indexes the window that starts at the token at `start`; false when it is the last. A window
  // holds at least two tokens, so that the one it leaves to the next is not its first.
  bool indexWindow(std::size_t start) {
    std::size_t limit = start + window;  // where the window is to end
    for (;;) {
      std::size_t end = std::min(limit, documentSize);
      const bool last = end == documentSize;
      while (!last && end > start && isContinuationByte(document[end])) --end;
      auto result = firstStage(start, end);
      const auto error = result.error();
      if (last) {
        if (error != simdjson::SUCCESS) textFault(error);
        take(result.value_unsafe(), start, end, false);
        return false;
      }
      if (error == simdjson::SUCCESS && tokenCount(result.value_unsafe()) >= 2) {
        take(result.value_unsafe(), start, end, true);
        return true;
      }
      if (error == simdjson::UNCLOSED_STRING) {
        // The window ends inside a string: it ends before the string instead, or takes in the
        // whole string when too few tokens come before it.
        const std::size_t opening = openingQuote(start, end);
        if (opening > start) {
          auto before = firstStage(start, opening);
          if (before.error() == simdjson::SUCCESS && tokenCount(before.value_unsafe()) >= 2) {
            take(before.value_unsafe(), start, opening, true);
            return true;
          }
          if (before.error() != simdjson::SUCCESS && before.error() != simdjson::EMPTY) textFault(before.error());
        }
        const std::size_t closing = closingQuote(opening);
        limit = closing == SIZE_MAX ? documentSize : closing + 1 + window;
        continue;
      }
      // Blanks, or a single token (a long number): a longer window.
      if (error == simdjson::SUCCESS || error == simdjson::EMPTY) {
        limit = start + 2 * (limit - start);
        continue;
      }
      textFault(error);
    }
  }

  // A quote preceded by an odd number of backslashes (back to `from`) is escaped.
  bool escapedQuote(std::size_t from, std::size_t quote) const noexcept {
    std::size_t backslashes = 0;
    while (quote - backslashes > from && document[quote - backslashes - 1] == '\\') ++backslashes;
    return backslashes % 2 != 0;
  }
  // The quote that opens the string a window from `start` to `end` ends in: its last quote that is
  // not escaped.
  std::size_t openingQuote(std::size_t start, std::size_t end) const noexcept {
    while (end > start) {
      const void* found = ::memrchr(document + start, '"', end - start);
      if (found == nullptr) break;
      const auto quote = static_cast<std::size_t>(static_cast<const char*>(found) - document);
      if (!escapedQuote(start, quote)) return quote;
      end = quote;
    }
    return start;
  }
  // The quote that closes the string opened at `opening`; SIZE_MAX when there is none.
  std::size_t closingQuote(std::size_t opening) const noexcept {
    std::size_t from = opening + 1;
    while (from < documentSize) {
      const void* found = std::memchr(document + from, '"', documentSize - from);
      if (found == nullptr) break;
      const auto quote = static_cast<std::size_t>(static_cast<const char*>(found) - document);
      if (!escapedQuote(opening + 1, quote)) return quote;
      from = quote + 1;
    }
    return SIZE_MAX;
  }

  // A window's first stage failed: the fault that one first stage over the whole text reports.
  // Faults of strings come first there, then invalid UTF-8.
  [[noreturn]] void textFault(simdjson::error_code code) {
    if (code != simdjson::MEMALLOC && code != simdjson::CAPACITY) {
      failOnStringFault();
      const std::size_t valid = string::detail::validUtf8Prefix(document, documentSize);
      if (valid != documentSize) failAt(valid, "invalid UTF-8 in JSON text");
    }
    firstStageFailed(code);
  }

  [[noreturn]] void firstStageFailed(simdjson::error_code code) {
    switch (code) {
      case simdjson::MEMALLOC: throw std::bad_alloc();
      case simdjson::EMPTY: failAt(documentSize, "empty JSON text");
      case simdjson::CAPACITY: failAt(0, "JSON text too large (more than 4 GiB)");
      case simdjson::UTF8_ERROR:
        failAt(string::detail::validUtf8Prefix(document, documentSize), "invalid UTF-8 in JSON text");
      case simdjson::UNCLOSED_STRING:
      case simdjson::UNESCAPED_CHARS:
        failOnStringFault();
        failAt(0, "malformed JSON string");
      default: failAt(0, "malformed JSON text");
    }
  }

  // Fails at the first string of the text that a first stage refuses: one with an unescaped
  // control character or without a closing quote. Returns when there is none.
  void failOnStringFault() {
    bool inString = false;
    std::size_t opening = 0;
    for (std::size_t i = 0; i < documentSize; ++i) {
      const auto c = static_cast<unsigned char>(document[i]);
      if (!inString) {
        if (c == '"') {
          inString = true;
          opening = i;
        }
      } else if (c < 0x20) {
        failAt(i, "control character in JSON string (must be escaped)");
      } else if (c == '\\') {
        if (++i < documentSize && static_cast<unsigned char>(document[i]) < 0x20) {
          failAt(i, "control character in JSON string (must be escaped)");
        }
      } else if (c == '"') {
        inString = false;
      }
    }
    if (inString) failAt(opening, "unterminated JSON string");
  }

  // Literals and numbers are checked whole here, so a value's kind can be read from its first byte.
  void requireValueStart() {
    // Strings and containers are checked as they are read; the byte at the end is no quote or
    // bracket.
    const char c = text[*token];
    if (c == '"' || c == '{' || c == '[') return;
    requireScalarStart(c);
  }
  void requireScalarStart(char c) {
    if (atEnd()) expected("JSON value");
    switch (c) {
      case '}':
      case ']':
      case ',':
      case ':': expected("JSON value");
      default: break;
    }
    const std::string_view token = scalarText(cursor());
    if (c == '-' || isDigit(c)) {
      if (!scanNumber(token, number)) fail(here(), "invalid JSON number " + quote(token));
      number.offset = cursorOffset();
      return;
    }
    if (token == "true" || token == "false" || token == "null") return;
    fail(here(), "invalid JSON value " + quote(token));
  }

  void open(bool object) {
    if (depth == kMaxDepth) {
      fail(here(), "JSON text nested too deeply (more than " + std::to_string(kMaxDepth) + " levels)");
    }
    ++depth;
    isObject[depth] = object;
    advance();
    phase = object ? Phase::kObjectStart : Phase::kArrayStart;
  }
  void close() noexcept {
    --depth;
    advance();
    phase = Phase::kAfterValue;
  }
  void consumeScalar() noexcept {
    advance();
    phase = Phase::kAfterValue;
  }

  // The text of the string token at `token`, unescaped. Strings without escapes are handed out in
  // place; others are unescaped once into the parser's string buffer.
  std::string_view readString(TokenPosition token) {
    const std::size_t begin = token[0];
    std::size_t end = token[1] >= begin && token[1] <= size ? token[1] : size;
    // Compact text has the closing quote right before the next token.
    if (end < begin + 2 || text[end - 1] != '"') {
      while (end > begin + 1 && isBlank(text[end - 1])) --end;
      if (end < begin + 2 || text[end - 1] != '"') fail(begin, "malformed JSON string");
    }
    const char* body = text + begin + 1;
    const std::size_t length = end - begin - 2;
    if (!hasBackslash(body, length)) return {body, length};
    auto result =
        workspace->parser.unescape(ondemand::raw_json_string(reinterpret_cast<const std::uint8_t*>(body)), strings);
    if (result.error() != simdjson::SUCCESS) escapeFault(begin + 1, length);
    return result.value_unsafe();
  }

  [[noreturn]] void escapeFault(std::size_t body, std::size_t length) {
    auto hexUnit = [&](std::size_t at) -> long {
      if (at + 6 > body + length || text[at] != '\\' || text[at + 1] != 'u') return -1;
      long unit = 0;
      for (std::size_t k = at + 2; k < at + 6; ++k) {
        const char h = text[k];
        const int digit = isDigit(h)               ? h - '0'
                          : (h >= 'a' && h <= 'f') ? h - 'a' + 10
                          : (h >= 'A' && h <= 'F') ? h - 'A' + 10
                                                   : -1;
        if (digit < 0) return -1;
        unit = unit * 16 + digit;
      }
      return unit;
    };
    for (std::size_t i = body; i < body + length; ++i) {
      if (text[i] != '\\') continue;
      const char letter = i + 1 < body + length ? text[i + 1] : '\0';
      if (std::strchr("\"\\/bfnrt", letter) != nullptr && letter != '\0') {
        ++i;
        continue;
      }
      if (letter != 'u') fail(i, "invalid escape sequence in JSON string");
      const long unit = hexUnit(i);
      if (unit < 0) fail(i, "invalid \\u escape sequence in JSON string");
      if (unit >= 0xDC00 && unit <= 0xDFFF) fail(i, "unpaired UTF-16 surrogate in JSON string");
      if (unit >= 0xD800 && unit <= 0xDBFF) {
        const long low = hexUnit(i + 6);
        if (low < 0xDC00 || low > 0xDFFF) fail(i, "unpaired UTF-16 surrogate in JSON string");
        i += 6;
      }
      i += 5;
    }
    fail(body - 1, "malformed JSON string");
  }

  // At a member's name (after '{' or ','): reads the name and the ':' and stops at the value.
  std::string_view readMember() {
    if (!currentIs('"')) expected("member name string");
    const std::string_view name = readString(cursor());
    nameOffset = cursorOffset();
    advance();
    if (!currentIs(':')) expected("':' after member name");
    advance();
    requireValueStart();
    phase = Phase::kBeforeValue;
    return name;
  }

  // After a member or element of the innermost container: moves to the next one (true; for an
  // object's member its name goes to `name`) or past the closing bracket (false).
  bool next(std::string_view* name = nullptr) {
    const bool object = isObject[depth];
    if (currentIs(',')) {
      advance();
      if (object) {
        const std::string_view memberName = readMember();
        if (name != nullptr) *name = memberName;
      } else {
        requireValueStart();
        phase = Phase::kBeforeValue;
      }
      return true;
    }
    if (currentIs(object ? '}' : ']')) {
      close();
      return false;
    }
    expected(object ? "',' or '}' after object member" : "',' or ']' after array element");
  }

  // Reads on, checking every token, until a whole value has been passed at `target` depth. Works
  // from any point inside that value: unread, partly read, or just finished.
  void skipTo(std::uint32_t target) {
    if (depth < target) outOfOrder();
    for (;;) {
      switch (phase) {
        case Phase::kBeforeValue: {
          const char c = text[*cursor()];
          if (c == '[' || c == '{') {
            open(c == '{');
          } else {
            if (c == '"') readString(cursor());
            consumeScalar();
          }
          break;
        }
        case Phase::kArrayStart:
          if (currentIs(']')) {
            close();
          } else {
            requireValueStart();
            phase = Phase::kBeforeValue;
          }
          break;
        case Phase::kObjectStart:
          if (currentIs('}')) {
            close();
          } else {
            readMember();
          }
          break;
        case Phase::kAfterValue:
          if (depth == target) return;
          next();
          break;
      }
    }
  }

  // Like skipTo, handing every part passed to `handler`. The cursor and the depth are kept in
  // locals between the parts, where the handler's calls cannot disturb them, and stored back before
  // each call, so that the state is whole whenever the handler runs or an error is raised.
  void walk(Handler& handler, std::uint32_t target) {
    TokenPosition at = token;
    std::uint32_t level = depth;
    const auto sync = [&](Phase now) noexcept {
      token = at;
      depth = level;
      phase = now;
    };
    // To the next token; from the end of a window to the first token of the next.
    const auto step = [&] {
      if (++at == windowEnd) {
        token = at;
        enterNextWindow();
        at = token;
      }
    };
    // Literals and numbers are checked at the start of a value; strings and containers as they are
    // read.
    const auto startValue = [&] {
      const char c = text[*at];
      if (c != '"' && c != '{' && c != '[') {
        sync(phase);
        requireScalarStart(c);
      }
    };
    switch (phase) {
      case Phase::kBeforeValue: goto value;
      case Phase::kArrayStart: goto arrayStart;
      case Phase::kObjectStart: goto objectStart;
      case Phase::kAfterValue: goto afterValue;
    }

  value:  // at a value whose start has been checked
    switch (text[*at]) {
      case '{':
        sync(Phase::kBeforeValue);
        open(true);
        at = token;
        level = depth;
        handler.beginObject();
        goto objectStart;
      case '[':
        sync(Phase::kBeforeValue);
        open(false);
        at = token;
        level = depth;
        handler.beginArray();
        goto arrayStart;
      case '"': {
        // Unescaped for the call only: the string buffer keeps names, not every string.
        std::uint8_t* const mark = strings;
        const std::string_view string = readString(at);
        step();
        sync(Phase::kAfterValue);
        handler.string(string);
        strings = mark;
        goto afterValue;
      }
      case 't':
      case 'f': {
        const bool value = text[*at] == 't';
        step();
        sync(Phase::kAfterValue);
        handler.boolean(value);
        goto afterValue;
      }
      case 'n':
        step();
        sync(Phase::kAfterValue);
        handler.null();
        goto afterValue;
      default:
        sync(Phase::kBeforeValue);
        walkNumber(handler, at);
        at = token;
        goto afterValue;
    }

  arrayStart:  // just after '['
    if (text[*at] == ']') {
      --level;
      step();
      sync(Phase::kAfterValue);
      handler.endArray();
      goto afterValue;
    }
    startValue();
    goto value;

  objectStart:  // just after '{'
    if (text[*at] == '}') {
      --level;
      step();
      sync(Phase::kAfterValue);
      handler.endObject();
      goto afterValue;
    }
    goto member;

  member: {  // at a member's name, after '{' or ','
    if (text[*at] != '"') {
      sync(phase);
      expected("member name string");
    }
    const std::size_t nameAt = base + *at;
    const std::string_view name = readString(at);
    step();
    if (text[*at] != ':') {
      sync(phase);
      expected("':' after member name");
    }
    step();
    startValue();
    sync(Phase::kBeforeValue);
    handler.memberName(Name(name, TextPosition{this, nameAt}));
    goto value;
  }

  afterValue:  // after a whole value
    if (level == target) {
      sync(Phase::kAfterValue);
      return;
    }
    if (isObject[level]) {
      if (text[*at] == ',') {
        step();
        goto member;
      }
      if (text[*at] == '}') {
        --level;
        step();
        sync(Phase::kAfterValue);
        handler.endObject();
        goto afterValue;
      }
      sync(Phase::kAfterValue);
      expected("',' or '}' after object member");
    }
    if (text[*at] == ',') {
      step();
      startValue();
      goto value;
    }
    if (text[*at] == ']') {
      --level;
      step();
      sync(Phase::kAfterValue);
      handler.endArray();
      goto afterValue;
    }
    sync(Phase::kAfterValue);
    expected("',' or ']' after array element");
  }
  // In the representation numberKind() gives.
  void walkNumber(Handler& handler, TokenPosition token) {
    const NumberScan& scan = numberAt(token);
    if (scan.exact && scan.negative && scan.magnitude <= kInt64Magnitude) {
      const auto value = static_cast<std::int64_t>(0 - scan.magnitude);
      consumeScalar();
      handler.signedNumber(value);
    } else if (scan.exact && !scan.negative) {
      const std::uint64_t value = scan.magnitude;
      consumeScalar();
      if (value < kInt64Magnitude) {
        handler.signedNumber(static_cast<std::int64_t>(value));
      } else {
        handler.unsignedNumber(value);
      }
    } else {
      const std::optional<double> value = scannedDouble(scan, scalarText(token));
      if (!value) throw RangeError(locate(base + *token), "number out of range for double");
      consumeScalar();
      handler.doubleNumber(*value);
    }
  }

  // The value at `offset` is the one to read next.
  void checkCurrent(std::uint32_t offset) const {
    checkUsable();
    if (cursorOffset() != offset || phase != Phase::kBeforeValue) outOfOrder();
  }

  // What the check at the start of the number at `token` found.
  const NumberScan& numberAt(TokenPosition token) noexcept {
    const std::size_t offset = base + *token;
    if (number.offset != offset) {
      scanNumber(scalarText(token), number);
      number.offset = offset;
    }
    return number;
  }
};

Location locate(DocumentState* state, std::size_t offset) noexcept { return state->locate(offset); }

}  // namespace detail

using detail::DocumentState;
using detail::Phase;

// ---- Value

Value::Kind Value::kind() {
  const auto ref = load<ValueRef>(storage_.bytes);
  switch (state_->document[ref.offset]) {
    case '{': return Kind::kObject;
    case '[': return Kind::kArray;
    case '"': return Kind::kString;
    case 't':
    case 'f': return Kind::kBoolean;
    case 'n': return Kind::kNull;
    default: return Kind::kNumber;
  }
}

Location Value::location() const noexcept {
  return detail::locate(state_, load<ValueRef>(storage_.bytes).offset);
}

void Value::mismatch(const char* expected) {
  throw TypeMismatchError(location(), std::string("expected ") + expected + ", found " + kindName(kind()));
}

bool Value::asBoolean() {
  const auto ref = load<ValueRef>(storage_.bytes);
  state_->checkCurrent(ref.offset);
  if (kind() != Kind::kBoolean) mismatch("JSON boolean");
  const bool value = state_->document[ref.offset] == 't';
  state_->consumeScalar();
  return value;
}

void Value::asNull() {
  const auto ref = load<ValueRef>(storage_.bytes);
  state_->checkCurrent(ref.offset);
  if (kind() != Kind::kNull) mismatch("JSON null");
  state_->consumeScalar();
}

Object Value::asObject() {
  const auto ref = load<ValueRef>(storage_.bytes);
  state_->checkCurrent(ref.offset);
  if (kind() != Kind::kObject) mismatch("JSON object");
  const std::uint32_t bracket = state_->cursorOffset();
  state_->open(true);
  detail::ValueStorage storage;
  store(storage.bytes, ContainerRef{state_->cursorOffset(), bracket, state_->depth});
  return Object(state_, storage);
}

Array Value::asArray() {
  const auto ref = load<ValueRef>(storage_.bytes);
  state_->checkCurrent(ref.offset);
  if (kind() != Kind::kArray) mismatch("JSON array");
  const std::uint32_t bracket = state_->cursorOffset();
  state_->open(false);
  detail::ValueStorage storage;
  store(storage.bytes, ContainerRef{state_->cursorOffset(), bracket, state_->depth});
  return Array(state_, storage);
}

std::string_view Value::asString() {
  const auto ref = load<ValueRef>(storage_.bytes);
  state_->checkCurrent(ref.offset);
  if (kind() != Kind::kString) mismatch("JSON string");
  const std::string_view text = state_->readString(state_->cursor());
  state_->consumeScalar();
  return text;
}

std::string_view Value::numberText() {
  const auto ref = load<ValueRef>(storage_.bytes);
  state_->checkCurrent(ref.offset);
  if (kind() != Kind::kNumber) mismatch("JSON number");
  return state_->scalarText(state_->cursor());
}

NumberKind Value::numberKind() {
  const auto ref = load<ValueRef>(storage_.bytes);
  state_->checkCurrent(ref.offset);
  if (kind() != Kind::kNumber) mismatch("JSON number");
  const NumberScan& number = state_->numberAt(state_->cursor());
  if (!number.exact) return NumberKind::kDouble;
  if (number.negative) return number.magnitude <= kInt64Magnitude ? NumberKind::kSigned : NumberKind::kDouble;
  return number.magnitude < kInt64Magnitude ? NumberKind::kSigned : NumberKind::kUnsigned;
}

std::int64_t Value::asInt64() {
  const std::string_view text = numberText();
  const NumberScan& number = state_->numberAt(state_->cursor());
  if (number.real) throw RangeError(location(), "expected integer, found " + excerpt(text));
  if (!number.exact || number.magnitude > (number.negative ? kInt64Magnitude : kInt64Magnitude - 1)) {
    throw RangeError(location(), "number out of range for signed 64-bit integer");
  }
  // Two's complement: the negated magnitude is the value, also for the smallest one.
  const auto value = static_cast<std::int64_t>(number.negative ? 0 - number.magnitude : number.magnitude);
  state_->consumeScalar();
  return value;
}

std::uint64_t Value::asUInt64() {
  const std::string_view text = numberText();
  const NumberScan& number = state_->numberAt(state_->cursor());
  if (number.real) throw RangeError(location(), "expected integer, found " + excerpt(text));
  // "-0" is still zero.
  if (!number.exact || (number.negative && number.magnitude != 0)) {
    throw RangeError(location(), "number out of range for unsigned 64-bit integer");
  }
  const std::uint64_t value = number.magnitude;
  state_->consumeScalar();
  return value;
}

double Value::asDouble() {
  const std::string_view text = numberText();
  const std::optional<double> value = scannedDouble(state_->numberAt(state_->cursor()), text);
  if (!value) throw RangeError(location(), "number out of range for double");
  state_->consumeScalar();
  return *value;
}

long double Value::durationSeconds() {
  const auto ref = load<ValueRef>(storage_.bytes);
  state_->checkCurrent(ref.offset);
  const Kind valueKind = kind();
  if (valueKind == Kind::kNumber) {
    const std::optional<double> seconds = toDouble(state_->scalarText(state_->cursor()));
    if (!seconds) throw RangeError(location(), "time duration out of range");
    state_->consumeScalar();
    return *seconds;
  }
  if (valueKind != Kind::kString)
    mismatch("time duration (JSON number of seconds or JSON string such as \"1.5s\")");

  const std::string_view text = state_->readString(state_->cursor());
  double number = 0;
  const char* const end = text.data() + text.size();
  auto [unitBegin, error] = std::from_chars(text.data(), end, number);
  if (error == std::errc::result_out_of_range) throw RangeError(location(), "time duration out of range");
  const std::string_view unit(unitBegin, static_cast<std::size_t>(end - unitBegin));
  long double secondsPerUnit = 0;
  if (unit == "ns") {
    secondsPerUnit = 1e-9L;
  } else if (unit == "us") {
    secondsPerUnit = 1e-6L;
  } else if (unit == "ms") {
    secondsPerUnit = 1e-3L;
  } else if (unit == "s") {
    secondsPerUnit = 1;
  } else if (unit == "min") {
    secondsPerUnit = 60;
  } else if (unit == "h") {
    secondsPerUnit = 3600;
  } else if (unit == "d") {
    secondsPerUnit = 86400;
  }
  if (error != std::errc{} || secondsPerUnit == 0 || !std::isfinite(number)) {
    throw Exception(location(), "invalid time duration " + quote(text) +
                                   " (expected a number followed by ns, us, ms, s, min, h or d)");
  }
  state_->consumeScalar();
  return number * secondsPerUnit;
}

void Value::walk(Handler& handler) {
  const auto ref = load<ValueRef>(storage_.bytes);
  state_->checkCurrent(ref.offset);
  state_->walk(handler, ref.depth);
}

void Value::skip() {
  const auto ref = load<ValueRef>(storage_.bytes);
  state_->checkCurrent(ref.offset);
  state_->skipTo(ref.depth);
}

std::string_view Value::rawJson() {
  const auto ref = load<ValueRef>(storage_.bytes);
  state_->checkCurrent(ref.offset);
  // In the whole text: reading on may have moved the index to another window.
  const std::size_t begin = ref.offset;
  state_->skipTo(ref.depth);
  std::size_t end = state_->cursorOffset();
  while (end > begin && isBlank(state_->document[end - 1])) --end;
  return {state_->document + begin, end - begin};
}

// ---- Object

Object::Iterator Object::begin() {
  DocumentState& state = *state_;
  state.checkUsable();
  const auto ref = load<ContainerRef>(storage_.bytes);
  if (state.cursorOffset() != ref.body || state.depth != ref.depth || state.phase != Phase::kObjectStart)
    outOfOrder();
  Iterator it;
  it.state_ = state_;
  if (state.currentIs('}')) {
    state.close();
    return it;
  }
  const std::string_view name = state.readMember();
  store(it.iterator_, MemberRef{state.cursorOffset(), state.depth, state.nameOffset,
                                static_cast<std::uint32_t>(name.size()), name.data()});
  it.atEnd_ = false;
  return it;
}

Object::Iterator Object::end() { return Iterator(); }

// The opening bracket is the token before the body.
Location Object::location() const noexcept {
  return detail::locate(state_, load<ContainerRef>(storage_.bytes).bracket);
}

Member Object::Iterator::operator*() {
  const auto ref = load<MemberRef>(iterator_);
  return Member{Name(std::string_view(ref.name, ref.nameLength), detail::TextPosition{state_, ref.nameOffset}),
                Value(state_, valueStorage(ValueRef{ref.value, ref.depth}))};
}

Object::Iterator& Object::Iterator::operator++() {
  if (atEnd_) return *this;
  DocumentState& state = *state_;
  state.checkUsable();
  auto ref = load<MemberRef>(iterator_);
  state.skipTo(ref.depth);
  std::string_view name;
  if (state.next(&name)) {
    ref = MemberRef{state.cursorOffset(), state.depth, state.nameOffset, static_cast<std::uint32_t>(name.size()),
                    name.data()};
    store(iterator_, ref);
  } else {
    atEnd_ = true;
  }
  return *this;
}

bool Object::Iterator::operator!=(const Iterator& other) const noexcept { return atEnd_ != other.atEnd_; }

// ---- Array

Array::Iterator Array::begin() {
  DocumentState& state = *state_;
  state.checkUsable();
  const auto ref = load<ContainerRef>(storage_.bytes);
  if (state.cursorOffset() != ref.body || state.depth != ref.depth || state.phase != Phase::kArrayStart)
    outOfOrder();
  Iterator it;
  it.state_ = state_;
  if (state.currentIs(']')) {
    state.close();
    return it;
  }
  state.requireValueStart();
  state.phase = Phase::kBeforeValue;
  store(it.iterator_, ElementRef{state.cursorOffset(), state.depth});
  it.atEnd_ = false;
  return it;
}

Array::Iterator Array::end() { return Iterator(); }

Location Array::location() const noexcept {
  return detail::locate(state_, load<ContainerRef>(storage_.bytes).bracket);
}

Value Array::Iterator::operator*() {
  const auto ref = load<ElementRef>(iterator_);
  return Value(state_, valueStorage(ValueRef{ref.value, ref.depth}));
}

Array::Iterator& Array::Iterator::operator++() {
  if (atEnd_) return *this;
  DocumentState& state = *state_;
  state.checkUsable();
  const auto ref = load<ElementRef>(iterator_);
  state.skipTo(ref.depth);
  if (state.next()) {
    store(iterator_, ElementRef{state.cursorOffset(), state.depth});
  } else {
    atEnd_ = true;
  }
  return *this;
}

bool Array::Iterator::operator!=(const Iterator& other) const noexcept { return atEnd_ != other.atEnd_; }

// ---- Document

Document::Document() = default;
Document::Document(std::size_t indexWindow) : indexWindow_(indexWindow == 0 ? 1 : indexWindow) {}
Document::~Document() = default;

Value Document::read(io::InputStream& input) {
  // The previous document gives its workspace back before the new one takes one.
  state_.reset();
  state_ = std::make_unique<DocumentState>();
  state_->window = indexWindow_;
  Workspace& workspace = *state_->workspace;
  const std::size_t hint = input.sizeHint();
  char* buffer = workspace.ensure(hint != 0 ? hint : kInitialStreamBuffer, 0);
  std::size_t length = 0;
  for (;;) {
    if (length == workspace.capacity) {
      // Full: look ahead before growing, since a size hint is usually exact.
      char probe[4096];
      const std::size_t count = input.read(probe, sizeof probe);
      if (count == 0) break;
      buffer = workspace.ensure(std::max(length * 2, length + count), length);
      std::memcpy(buffer + length, probe, count);
      length += count;
      continue;
    }
    const std::size_t count = input.read(buffer + length, workspace.capacity - length);
    if (count == 0) break;
    length += count;
  }
  state_->start(length);
  return Value(state_.get(), valueStorage(ValueRef{state_->cursorOffset(), 0}));
}

Value Document::read(std::string_view text, Location origin) {
  state_.reset();
  state_ = std::make_unique<DocumentState>();
  state_->window = indexWindow_;
  char* buffer = state_->workspace->ensure(text.size(), 0);
  if (!text.empty()) std::memcpy(buffer, text.data(), text.size());
  state_->origin = origin.line == 0 ? Location{1, 1} : origin;
  state_->start(text.size());
  return Value(state_.get(), valueStorage(ValueRef{state_->cursorOffset(), 0}));
}

void Document::finish() {
  if (!state_) throw std::logic_error("JSON document finished before it was read");
  DocumentState& state = *state_;
  state.checkUsable();
  if (!state.started) throw std::logic_error("JSON document finished before it was read");
  state.skipTo(0);
  if (!state.atEnd()) state.fail(state.here(), "unexpected content after JSON value");
}

}  // namespace corvane::utils::json::decoder
