#pragma once
// JSON reading with source locations (forward-only, on top of simdjson's On-Demand parser) and
// JSON writing straight into an output stream.
//
// Reading is forward-only: members and elements are visited in document order and each value is
// read once (or skipped). Duplicate member names are reported as they stand, so callers can refuse
// them at the member's own location. The location of a value or name is worked out from the text
// when asked for, so ask while its Document lives (exceptions carry theirs).
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

#include "corvane/utils/io.hpp"

namespace corvane::utils::json::decoder {

// 1-based line and column (in bytes) in the decoded text; line 0 means unknown.
struct Location {
  std::uint32_t line = 0;
  std::uint32_t column = 0;
  std::string toString() const;  // "LINE:COLUMN"
  friend bool operator==(const Location&, const Location&) = default;
};

// A decoding or configuration error at a place in the text. what() is "LINE:COLUMN: message";
// message() is the text alone.
class Exception : public std::runtime_error {
 public:
  Exception(Location location, const std::exception& cause);
  Exception(Location location, const std::string& message);
  Location location() const noexcept { return location_; }
  const std::string& message() const noexcept { return message_; }

 private:
  Location location_;
  std::string message_;
};
// The value has another JSON type than the one asked for.
class TypeMismatchError : public Exception {
 public:
  using Exception::Exception;
};
// A number (or duration) does not fit the type asked for.
class RangeError : public Exception {
 public:
  using Exception::Exception;
};
// The text is not JSON (also: nesting deeper than the decoder's limit, invalid UTF-8).
class SyntaxError : public Exception {
 public:
  using Exception::Exception;
};

namespace detail {
struct DocumentState;
// Opaque room for the reader's reference to one value (where its first token stands in the text);
// checked against the real size in the .cpp.
struct alignas(8) ValueStorage {
  std::byte bytes[24];
};
// Line and column of a byte offset in the document's text: most values are read without anyone
// asking for theirs.
Location locate(DocumentState* state, std::size_t offset) noexcept;
// Where a name starts in the document's text.
struct TextPosition {
  DocumentState* state;
  std::size_t offset;
};
}  // namespace detail

class Object;
class Array;
class Handler;

enum class NumberKind { kSigned, kUnsigned, kDouble };

class Value {
 public:
  enum class Kind { kNull, kBoolean, kNumber, kString, kArray, kObject };
  Kind kind();
  bool isNull() { return kind() == Kind::kNull; }
  bool isBoolean() { return kind() == Kind::kBoolean; }
  bool isNumber() { return kind() == Kind::kNumber; }
  bool isString() { return kind() == Kind::kString; }
  bool isArray() { return kind() == Kind::kArray; }
  bool isObject() { return kind() == Kind::kObject; }

  // Each conversion consumes the value; a wrong type throws TypeMismatchError at its location.
  bool asBoolean();
  void asNull();
  Object asObject();
  Array asArray();
  // Unescaped text; stays valid while the Document lives.
  std::string_view asString();
  // The representation the number's text calls for: integers without fraction or exponent are
  // signed when they fit int64, else unsigned when they fit uint64; everything else is a double.
  NumberKind numberKind();
  std::int64_t asInt64();    // RangeError when the number is not an integer that fits
  std::uint64_t asUInt64();  // likewise
  double asDouble();         // any number
  // The number's text as written (no whitespace).
  std::string_view numberText();
  // A time duration: a number of seconds (fractions allowed), or a string of a number followed by
  // a unit ("ns", "us", "ms", "s", "min", "h", "d"), e.g. "1.5s", "250ms". RangeError when it does
  // not fit D.
  template <class D>
  D asDuration() {
    long double seconds = durationSeconds();
    // Rounded: "10us" is not exact in binary and must not become 9 microseconds.
    long double ticks = std::round(seconds * D::period::den / D::period::num);
    using Rep = typename D::rep;
    if (!(ticks >= static_cast<long double>(std::numeric_limits<Rep>::min()) &&
          ticks < static_cast<long double>(std::numeric_limits<Rep>::max()) + 1.0L)) {
      throw RangeError(location(), "time duration out of range");
    }
    return D(static_cast<Rep>(ticks));
  }
  void skip();
  // Consumes the value and hands its parts to `handler` in document order, with the same checks
  // and errors as reading it part by part (numbers as numberKind() and the matching conversion
  // give them). After an exception the document is not read further.
  void walk(Handler& handler);
  // Consumes the value and gives its text as written (objects and arrays whole), valid while the
  // Document lives. Document::read(text, location()) decodes it again with the same locations.
  std::string_view rawJson();
  Location location() const noexcept;

 private:
  friend class Document;
  friend class Object;
  friend class Array;
  Value(detail::DocumentState* state, const detail::ValueStorage& storage) : state_(state), storage_(storage) {}
  long double durationSeconds();
  [[noreturn]] void mismatch(const char* expected);

  detail::DocumentState* state_;
  detail::ValueStorage storage_;
};

class Name {
 public:
  Name(std::string_view text, Location location) : text_(text), location_(location) {}
  // A name in a document being read; its location is worked out when asked for.
  Name(std::string_view text, detail::TextPosition position) : text_(text), position_(position) {}
  operator std::string_view() const noexcept { return text_; }  // NOLINT: names read as text
  std::string_view view() const noexcept { return text_; }
  bool starts_with(std::string_view prefix) const noexcept { return text_.starts_with(prefix); }
  bool operator==(std::string_view other) const noexcept { return text_ == other; }
  Location location() const noexcept {
    return position_.state != nullptr ? detail::locate(position_.state, position_.offset) : location_;
  }

 private:
  std::string_view text_;
  detail::TextPosition position_{nullptr, 0};
  Location location_;
};

struct Member {
  Name name;
  Value value;
};

// Receives the parts of a value from Value::walk. Names stay valid while the Document lives; a
// string only during its call, so that a walk over many strings does not keep each one.
class Handler {
 public:
  virtual void beginObject() = 0;
  virtual void memberName(const Name& name) = 0;  // before each member's value
  virtual void endObject() = 0;
  virtual void beginArray() = 0;
  virtual void endArray() = 0;
  virtual void string(std::string_view text) = 0;
  virtual void signedNumber(std::int64_t value) = 0;
  virtual void unsignedNumber(std::uint64_t value) = 0;
  virtual void doubleNumber(double value) = 0;
  virtual void boolean(bool value) = 0;
  virtual void null() = 0;

 protected:
  ~Handler() = default;
};

// Objects and arrays are iterated once, in document order.
class Object {
 public:
  class Iterator;
  Iterator begin();
  Iterator end();
  Location location() const noexcept;

 private:
  friend class Value;
  friend class Iterator;
  Object(detail::DocumentState* state, const detail::ValueStorage& storage) : state_(state), storage_(storage) {}
  detail::DocumentState* state_;
  detail::ValueStorage storage_;  // where the object's members start
};

class Object::Iterator {
 public:
  Member operator*();
  Iterator& operator++();
  bool operator!=(const Iterator& other) const noexcept;
  bool operator==(const Iterator& other) const noexcept { return !(*this != other); }

 private:
  friend class Object;
  detail::DocumentState* state_ = nullptr;
  alignas(8) std::byte iterator_[24]{};  // the current member: its value and name
  bool atEnd_ = true;
};

class Array {
 public:
  class Iterator;
  Iterator begin();
  Iterator end();
  Location location() const noexcept;

 private:
  friend class Value;
  Array(detail::DocumentState* state, const detail::ValueStorage& storage) : state_(state), storage_(storage) {}
  detail::DocumentState* state_;
  detail::ValueStorage storage_;
};

class Array::Iterator {
 public:
  Value operator*();
  Iterator& operator++();
  bool operator!=(const Iterator& other) const noexcept;
  bool operator==(const Iterator& other) const noexcept { return !(*this != other); }

 private:
  friend class Array;
  detail::DocumentState* state_ = nullptr;
  alignas(8) std::byte iterator_[24]{};
  bool atEnd_ = true;
};

// One JSON document. Reads the whole input, checks it is one JSON value with nothing but white
// space after it (at finish()), and hands out the root value. Nesting is limited (1024 levels) so
// hostile input cannot exhaust the stack. A text longer than the index window is indexed a window
// at a time, so that the index (four bytes a token) does not grow with the text; what is read and
// reported is the same either way.
class Document {
 public:
  static constexpr std::size_t kIndexWindow = std::size_t{1} << 20;

  Document();
  explicit Document(std::size_t indexWindow);
  ~Document();
  Document(const Document&) = delete;
  Document& operator=(const Document&) = delete;

  Value read(io::InputStream& input);
  // `origin` is where `text` starts in a larger file, so locations stay those of the file.
  Value read(std::string_view text, Location origin = {1, 1});
  // Throws SyntaxError when anything but white space follows the root value. Call after the root
  // value has been consumed.
  void finish();

 private:
  std::unique_ptr<detail::DocumentState> state_;
  std::size_t indexWindow_ = kIndexWindow;
};

}  // namespace corvane::utils::json::decoder

namespace corvane::utils::json::encoder {

struct Null {};

namespace detail {
// Separator state of one open container.
struct Writer {
  io::OutputStream<char>* out;
  void string(std::string_view text);
};
}  // namespace detail

class Object;
class Array;

// A slot that takes exactly one JSON value.
class Value {
 public:
  explicit Value(detail::Writer& writer) noexcept : writer_(&writer) {}
  void write(bool b) { b ? writer_->out->write("true", 4) : writer_->out->write("false", 5); }
  void write(Null) { writer_->out->write("null", 4); }
  void writeString(std::string_view text) { writer_->string(text); }
  // A number already formatted as JSON number text (or "null" for a non-finite double).
  void writeNumber(std::string_view text) { writer_->out->write(text.data(), text.size()); }
  // Raw JSON text, written as it stands.
  void writeRaw(std::string_view json) { writer_->out->write(json.data(), json.size()); }
  Object asObject();
  Array asArray();

 private:
  detail::Writer* writer_;
};

class Object {
 public:
  explicit Object(detail::Writer& writer) : writer_(&writer) { writer_->out->put('{'); }
  Value addMember(std::string_view name) {
    if (!first_) writer_->out->put(',');
    first_ = false;
    writer_->string(name);
    writer_->out->put(':');
    return Value(*writer_);
  }
  // The same for a name given as the text memberName() made of it: templates prepare their names
  // once instead of escaping them on every write.
  Value addMemberText(std::string_view nameText) {
    if (!first_) writer_->out->put(',');
    first_ = false;
    writer_->out->write(nameText.data(), nameText.size());
    return Value(*writer_);
  }
  void close() { writer_->out->put('}'); }

 private:
  detail::Writer* writer_;
  bool first_ = true;
};

class Array {
 public:
  explicit Array(detail::Writer& writer) : writer_(&writer) { writer_->out->put('['); }
  Value addElement() {
    if (!first_) writer_->out->put(',');
    first_ = false;
    return Value(*writer_);
  }
  void close() { writer_->out->put(']'); }

 private:
  detail::Writer* writer_;
  bool first_ = true;
};

inline Object Value::asObject() { return Object(*writer_); }
inline Array Value::asArray() { return Array(*writer_); }

// Format 1 is compact JSON: no spaces, no line breaks.
class Document {
 public:
  Document(io::OutputStream<char>& out, int format);
  Value asValue() noexcept { return Value(writer_); }
  void close() noexcept {}

 private:
  detail::Writer writer_;
};

// Escapes for a JSON string body (no quotes): '"', '\\', and control characters. Bytes >= 0x80
// pass unchanged.
void appendEscaped(std::string& out, std::string_view text);
// A member name as written before its value: quoted, escaped, with the colon.
std::string memberName(std::string_view name);

}  // namespace corvane::utils::json::encoder
