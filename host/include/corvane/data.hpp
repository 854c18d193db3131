#pragma once
// Values of attributes and the handles through which elements read and write them.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>
#include <variant>

#include "corvane/time.hpp"
#include "corvane/utils/expected.hpp"
#include "corvane/utils/json.hpp"

namespace corvane::data {

enum class DataType : std::uint8_t {
  kBoolean,
  kInteger,   // signed 64-bit
  kUnsigned,  // unsigned 64-bit
  kDouble,
  kString,
  kTimeStamp,
  kErrorCode,
};
std::string_view dataTypeName(DataType type) noexcept;

// What a read handle holds natively. 0 to 3 and 16 are fixed; the rest are read as text.
enum class NativeType : std::uint8_t {
  kBoolean = 0,
  kInt64 = 1,
  kUInt64 = 2,
  kDouble = 3,
  kString = 4,
  kTimeStamp = 5,
  kErrorCode = 6,
  kNone = 16,  // no value (an unbound handle)
};

// An attribute value of any native type.
using Value = std::variant<std::monostate, bool, std::int64_t, std::uint64_t, double, std::string,
                           TimeStamp, std::error_code>;
NativeType nativeTypeOf(const Value& value) noexcept;
// Display text of a value: numbers as JSON numbers, time stamps in ISO 8601, error codes as
// "Category value: message", nothing as "null".
std::string toText(const Value& value);
// "Category value: message" for an error code; "no error" for value 0.
std::string describeError(std::error_code error);

// Conversions between value types (used by read and write handles alike).
enum class ConversionError {
  kNotANumber = 1,    // text that is no number
  kOutOfRange,        // number outside the target's range, or a fraction for an integer
  kNotConvertible,    // e.g. a JSON object into a number
};
const std::error_category& conversionErrorCategory() noexcept;
inline std::error_code make_error_code(ConversionError e) noexcept {
  return {static_cast<int>(e), conversionErrorCategory()};
}
utils::Expected<Value> convert(const Value& value, DataType target);

// Where a read handle takes its value from.
class ReadSource {
 public:
  virtual ~ReadSource() = default;
  virtual NativeType nativeType() const noexcept = 0;
  virtual std::error_code read(Value& out) const = 0;
  // Typed reads; the defaults go through read() and convert. Sources on hot paths (data point
  // values rendered on every publication) answer them without building a Value.
  virtual std::error_code readBool(bool& out) const;
  virtual std::error_code readInt64(std::int64_t& out) const;
  virtual std::error_code readUInt64(std::uint64_t& out) const;
  virtual std::error_code readDouble(double& out) const;
};

class ReadHandle {
 public:
  enum class Error : int {
    kUnbound = 1,
    kNoSuchAttribute = 2,
    kWriteOnly = 3,
    kElementGone = 6,
  };
  static const std::error_category& errorCategory() noexcept;

  ReadHandle() = default;  // unbound
  explicit ReadHandle(Error error) : error_(error) {}
  explicit ReadHandle(std::shared_ptr<const ReadSource> source) : source_(std::move(source)) {}

  // A handle over a value kept alive by `owner`.
  template <class T>
  static ReadHandle fromShared(std::shared_ptr<const T> value);

  bool isBound() const noexcept { return source_ != nullptr; }
  std::error_code error() const noexcept;  // why the handle is not bound; 0 when bound
  bool operator==(Error e) const noexcept { return !source_ && error_ == e; }

  NativeType nativeType() const noexcept;
  utils::Expected<Value> read() const;
  utils::Expected<bool> readBool() const;
  utils::Expected<std::int64_t> readInt64() const;
  utils::Expected<std::uint64_t> readUInt64() const;
  utils::Expected<double> readDouble() const;
  utils::Expected<std::string> readString() const;

 private:
  std::shared_ptr<const ReadSource> source_;
  Error error_ = Error::kUnbound;
};

// A structured value (JSON object or array) handed to a write handle; it writes itself as JSON.
class Composite {
 public:
  virtual ~Composite() = default;
  virtual void write(utils::json::encoder::Value target) const = 0;
};

class WriteSink {
 public:
  virtual ~WriteSink() = default;
  virtual std::error_code write(const Value& value) = 0;
  // An object or array; a string target takes its JSON text, other types refuse it.
  virtual std::error_code writeComposite(bool isObject, const Composite& value) = 0;
};

class WriteHandle {
 public:
  enum class Error : int {
    kUnbound = 1,
    kNoSuchAttribute = 2,
    kReadOnly = 3,
  };
  static const std::error_category& errorCategory() noexcept;

  WriteHandle() = default;
  explicit WriteHandle(Error error) : error_(error) {}
  explicit WriteHandle(std::shared_ptr<WriteSink> sink) : sink_(std::move(sink)) {}

  bool isBound() const noexcept { return sink_ != nullptr; }
  bool operator==(Error e) const noexcept { return !sink_ && error_ == e; }

  std::error_code write(bool value) const { return put(Value(value)); }
  std::error_code write(std::int64_t value) const { return put(Value(value)); }
  std::error_code write(std::uint64_t value) const { return put(Value(value)); }
  std::error_code write(double value) const { return put(Value(value)); }
  std::error_code write(std::string_view value) const { return put(Value(std::string(value))); }
  std::error_code write(utils::json::encoder::Null) const { return put(Value()); }
  std::error_code writeObject(const Composite& value) const;
  std::error_code writeArray(const Composite& value) const;

 private:
  std::error_code put(const Value& value) const;
  std::shared_ptr<WriteSink> sink_;
  Error error_ = Error::kUnbound;
};

namespace detail {
template <class T>
Value toValue(const T& v) {
  if constexpr (std::is_same_v<T, bool>) {
    return Value(v);
  } else if constexpr (std::is_integral_v<T> && std::is_signed_v<T>) {
    return Value(static_cast<std::int64_t>(v));
  } else if constexpr (std::is_integral_v<T>) {
    return Value(static_cast<std::uint64_t>(v));
  } else if constexpr (std::is_floating_point_v<T>) {
    return Value(static_cast<double>(v));
  } else if constexpr (std::is_convertible_v<T, std::string_view>) {
    return Value(std::string(std::string_view(v)));
  } else {
    return Value(v);  // TimeStamp, std::error_code
  }
}
template <class T>
constexpr NativeType nativeTypeFor() {
  if constexpr (std::is_same_v<T, bool>) return NativeType::kBoolean;
  else if constexpr (std::is_integral_v<T> && std::is_signed_v<T>) return NativeType::kInt64;
  else if constexpr (std::is_integral_v<T>) return NativeType::kUInt64;
  else if constexpr (std::is_floating_point_v<T>) return NativeType::kDouble;
  else if constexpr (std::is_same_v<T, TimeStamp>) return NativeType::kTimeStamp;
  else if constexpr (std::is_same_v<T, std::error_code>) return NativeType::kErrorCode;
  else return NativeType::kString;
}
// Reads a value that never changes once the handle exists.
template <class T>
class SharedSource final : public ReadSource {
 public:
  explicit SharedSource(std::shared_ptr<const T> value) : value_(std::move(value)) {}
  NativeType nativeType() const noexcept override { return nativeTypeFor<T>(); }
  std::error_code read(Value& out) const override {
    out = toValue(*value_);
    return {};
  }

 private:
  std::shared_ptr<const T> value_;
};
}  // namespace detail

template <class T>
ReadHandle ReadHandle::fromShared(std::shared_ptr<const T> value) {
  return ReadHandle(std::make_shared<detail::SharedSource<T>>(std::move(value)));
}

}  // namespace corvane::data

template <>
struct std::is_error_code_enum<corvane::data::ConversionError> : std::true_type {};
