#include "corvane/data.hpp"

#include <charconv>
#include <cmath>
#include <limits>

#include "corvane/utils/numeric.hpp"

namespace corvane::data {

std::string_view dataTypeName(DataType type) noexcept {
  switch (type) {
    case DataType::kBoolean: return "boolean";
    case DataType::kInteger: return "integer";
    case DataType::kUnsigned: return "unsigned";
    case DataType::kDouble: return "double";
    case DataType::kString: return "string";
    case DataType::kTimeStamp: return "timeStamp";
    case DataType::kErrorCode: return "errorCode";
  }
  return "unknown";
}

NativeType nativeTypeOf(const Value& value) noexcept {
  switch (value.index()) {
    case 1: return NativeType::kBoolean;
    case 2: return NativeType::kInt64;
    case 3: return NativeType::kUInt64;
    case 4: return NativeType::kDouble;
    case 5: return NativeType::kString;
    case 6: return NativeType::kTimeStamp;
    case 7: return NativeType::kErrorCode;
    default: return NativeType::kNone;
  }
}

std::string describeError(std::error_code error) {
  if (!error) return "no error";
  return std::string(error.category().name()) + " " + std::to_string(error.value()) + ": " + error.message();
}

std::string toText(const Value& value) {
  char buffer[32];
  struct Visitor {
    char* buffer;
    std::string operator()(std::monostate) const { return "null"; }
    std::string operator()(bool b) const { return b ? "true" : "false"; }
    std::string operator()(std::int64_t v) const { return {buffer, utils::numeric::format(buffer, 32, v)}; }
    std::string operator()(std::uint64_t v) const { return {buffer, utils::numeric::format(buffer, 32, v)}; }
    std::string operator()(double v) const { return {buffer, utils::numeric::format(buffer, 32, v)}; }
    std::string operator()(const std::string& s) const { return s; }
    std::string operator()(TimeStamp t) const { return formatTime(t); }
    std::string operator()(std::error_code e) const { return describeError(e); }
  };
  return std::visit(Visitor{buffer}, value);
}

namespace {

class ConversionErrorCategory final : public std::error_category {
 public:
  const char* name() const noexcept override { return "Corvane.Conversion"; }
  std::string message(int value) const override {
    switch (static_cast<ConversionError>(value)) {
      case ConversionError::kNotANumber: return "the value is not a number";
      case ConversionError::kOutOfRange: return "the value is out of the range of the data point's type";
      case ConversionError::kNotConvertible: return "the value cannot be converted to the data point's type";
    }
    return "unknown conversion error " + std::to_string(value);
  }
};

class ReadHandleErrorCategory final : public std::error_category {
 public:
  const char* name() const noexcept override { return "Corvane.ReadHandle"; }
  std::string message(int value) const override {
    switch (value) {
      case 1: return "the read handle is not bound to an attribute";
      case 2: return "the element has no attribute of that name";
      case 3: return "the attribute is write-only";
      case 6: return "the element no longer exists";
    }
    return "unknown read handle error " + std::to_string(value);
  }
};

class WriteHandleErrorCategory final : public std::error_category {
 public:
  const char* name() const noexcept override { return "Corvane.WriteHandle"; }
  std::string message(int value) const override {
    switch (value) {
      case 1: return "the write handle is not bound to an attribute";
      case 2: return "the element has no attribute of that name";
      case 3: return "the attribute is read-only";
    }
    return "unknown write handle error " + std::to_string(value);
  }
};

utils::Unexpected fail(ConversionError e) { return utils::unexpected(make_error_code(e)); }

utils::Expected<Value> toSigned(const Value& v) {
  switch (v.index()) {
    case 1: return Value(std::int64_t{std::get<bool>(v) ? 1 : 0});
    case 2: return v;
    case 3: {
      auto u = std::get<std::uint64_t>(v);
      if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return fail(ConversionError::kOutOfRange);
      return Value(static_cast<std::int64_t>(u));
    }
    case 4: {
      double d = std::get<double>(v);
      // 2^63 is the first double above the range; a fraction would be lost silently.
      if (!(d >= -9223372036854775808.0 && d < 9223372036854775808.0) || std::trunc(d) != d)
        return fail(ConversionError::kOutOfRange);
      return Value(static_cast<std::int64_t>(d));
    }
    case 5: return fail(ConversionError::kNotANumber);
    default: return fail(ConversionError::kNotConvertible);
  }
}

utils::Expected<Value> toUnsigned(const Value& v) {
  switch (v.index()) {
    case 1: return Value(std::uint64_t{std::get<bool>(v) ? 1u : 0u});
    case 2: {
      auto i = std::get<std::int64_t>(v);
      if (i < 0) return fail(ConversionError::kOutOfRange);
      return Value(static_cast<std::uint64_t>(i));
    }
    case 3: return v;
    case 4: {
      double d = std::get<double>(v);
      if (!(d >= 0.0 && d < 18446744073709551616.0) || std::trunc(d) != d) return fail(ConversionError::kOutOfRange);
      return Value(static_cast<std::uint64_t>(d));
    }
    case 5: return fail(ConversionError::kNotANumber);
    default: return fail(ConversionError::kNotConvertible);
  }
}

}  // namespace

const std::error_category& conversionErrorCategory() noexcept {
  static const ConversionErrorCategory category;
  return category;
}
const std::error_category& ReadHandle::errorCategory() noexcept {
  static const ReadHandleErrorCategory category;
  return category;
}
const std::error_category& WriteHandle::errorCategory() noexcept {
  static const WriteHandleErrorCategory category;
  return category;
}

utils::Expected<Value> convert(const Value& value, DataType target) {
  switch (target) {
    case DataType::kBoolean:
      switch (value.index()) {
        case 1: return value;
        case 2:
        case 3: {
          auto u = toUnsigned(value);
          if (!u || std::get<std::uint64_t>(*u) > 1) return fail(ConversionError::kOutOfRange);
          return Value(std::get<std::uint64_t>(*u) == 1);
        }
        case 4: {
          double d = std::get<double>(value);
          if (d != 0.0 && d != 1.0) return fail(ConversionError::kOutOfRange);
          return Value(d == 1.0);
        }
        case 5: {
          const auto& s = std::get<std::string>(value);
          if (s == "true") return Value(true);
          if (s == "false") return Value(false);
          return fail(ConversionError::kNotConvertible);
        }
        default: return fail(ConversionError::kNotConvertible);
      }
    case DataType::kInteger: return toSigned(value);
    case DataType::kUnsigned: return toUnsigned(value);
    case DataType::kDouble:
      switch (value.index()) {
        case 1: return Value(std::get<bool>(value) ? 1.0 : 0.0);
        case 2: return Value(static_cast<double>(std::get<std::int64_t>(value)));
        case 3: return Value(static_cast<double>(std::get<std::uint64_t>(value)));
        case 4: return value;
        case 5: return fail(ConversionError::kNotANumber);
        default: return fail(ConversionError::kNotConvertible);
      }
    case DataType::kString:
      if (value.index() == 0) return fail(ConversionError::kNotConvertible);
      return Value(toText(value));
    case DataType::kTimeStamp:
      if (value.index() == 6) return value;
      if (value.index() == 2) return Value(TimeStamp(Ticks(std::get<std::int64_t>(value))));
      return fail(ConversionError::kNotConvertible);
    case DataType::kErrorCode:
      if (value.index() == 7) return value;
      return fail(ConversionError::kNotConvertible);
  }
  return fail(ConversionError::kNotConvertible);
}

std::error_code ReadHandle::error() const noexcept {
  if (source_) return {};
  return {static_cast<int>(error_), errorCategory()};
}

NativeType ReadHandle::nativeType() const noexcept { return source_ ? source_->nativeType() : NativeType::kNone; }

utils::Expected<Value> ReadHandle::read() const {
  if (!source_) return utils::unexpected(error());
  Value v;
  if (auto e = source_->read(v)) return utils::unexpected(e);
  return v;
}

namespace {
template <class T>
std::error_code readVia(const ReadSource& source, T& out, DataType type) {
  Value v;
  if (auto e = source.read(v)) return e;
  if (auto* direct = std::get_if<T>(&v)) {
    out = std::move(*direct);
    return {};
  }
  auto c = convert(v, type);
  if (!c) return c.error();
  out = std::get<T>(std::move(*c));
  return {};
}

template <class T, class Read>
utils::Expected<T> readTyped(const std::shared_ptr<const ReadSource>& source, std::error_code unbound, Read read) {
  if (!source) return utils::unexpected(unbound);
  T out{};
  if (auto e = read(*source, out)) return utils::unexpected(e);
  return out;
}
}  // namespace

std::error_code ReadSource::readBool(bool& out) const { return readVia(*this, out, DataType::kBoolean); }
std::error_code ReadSource::readInt64(std::int64_t& out) const { return readVia(*this, out, DataType::kInteger); }
std::error_code ReadSource::readUInt64(std::uint64_t& out) const { return readVia(*this, out, DataType::kUnsigned); }
std::error_code ReadSource::readDouble(double& out) const { return readVia(*this, out, DataType::kDouble); }

utils::Expected<bool> ReadHandle::readBool() const {
  return readTyped<bool>(source_, error(), [](const ReadSource& s, bool& v) { return s.readBool(v); });
}
utils::Expected<std::int64_t> ReadHandle::readInt64() const {
  return readTyped<std::int64_t>(source_, error(), [](const ReadSource& s, std::int64_t& v) { return s.readInt64(v); });
}
utils::Expected<std::uint64_t> ReadHandle::readUInt64() const {
  return readTyped<std::uint64_t>(source_, error(), [](const ReadSource& s, std::uint64_t& v) { return s.readUInt64(v); });
}
utils::Expected<double> ReadHandle::readDouble() const {
  return readTyped<double>(source_, error(), [](const ReadSource& s, double& v) { return s.readDouble(v); });
}
utils::Expected<std::string> ReadHandle::readString() const {
  return readTyped<std::string>(source_, error(),
                                [](const ReadSource& s, std::string& v) { return readVia(s, v, DataType::kString); });
}

std::error_code WriteHandle::put(const Value& value) const {
  if (!sink_) return {static_cast<int>(error_), errorCategory()};
  return sink_->write(value);
}
std::error_code WriteHandle::writeObject(const Composite& value) const {
  if (!sink_) return {static_cast<int>(error_), errorCategory()};
  return sink_->writeComposite(true, value);
}
std::error_code WriteHandle::writeArray(const Composite& value) const {
  if (!sink_) return {static_cast<int>(error_), errorCategory()};
  return sink_->writeComposite(false, value);
}

}  // namespace corvane::data
