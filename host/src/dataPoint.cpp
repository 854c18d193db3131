#include <cstddef>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

#include "corvane/runtime.hpp"
#include "corvane/utils/io.hpp"

namespace corvane::runtime {

namespace {

class StringStream final : public utils::io::OutputStream<char> {
 public:
  StringStream() { setWriteBuffer(text.data(), text.data()); }
  std::string text;
  std::string description() const override { return "JSON text"; }

 protected:
  void bufferExhausted() override {
    std::size_t used = static_cast<std::size_t>(writePosition() - text.data());
    text.resize(text.size() < 16 ? 32 : text.size() * 2);
    setWriteBuffer(text.data() + used, text.data() + text.size());
  }
  std::size_t writeBlock(const char* data, std::size_t count) override {
    text.resize(static_cast<std::size_t>(writePosition() - text.data()));
    text.append(data, count);
    setWriteBuffer(text.data() + text.size(), text.data() + text.size());
    return count;
  }

 public:
  std::string take() {
    text.resize(static_cast<std::size_t>(writePosition() - text.data()));
    return std::move(text);
  }
};

data::NativeType nativeTypeOf(data::DataType type);

// The alternative of data::Value that holds a value of a point's own type.
constexpr std::size_t valueIndexOf(data::DataType type) noexcept { return static_cast<std::size_t>(type) + 1; }
template <data::DataType type, class T>
constexpr bool holds = std::is_same_v<std::variant_alternative_t<valueIndexOf(type), data::Value>, T>;
static_assert(holds<data::DataType::kBoolean, bool> && holds<data::DataType::kInteger, std::int64_t> &&
              holds<data::DataType::kUnsigned, std::uint64_t> && holds<data::DataType::kDouble, double> &&
              holds<data::DataType::kString, std::string> && holds<data::DataType::kTimeStamp, TimeStamp> &&
              holds<data::DataType::kErrorCode, std::error_code>);

}  // namespace

// Reads the value of a data point, or one of its extra attributes.
class ValueSource final : public data::ReadSource {
 public:
  enum class What { kValue, kQuality, kExtra };
  ValueSource(std::shared_ptr<const DataPoint> point, What what, std::string name, data::NativeType type)
      : point_(std::move(point)), what_(what), name_(std::move(name)), type_(type) {
    if (what_ == What::kExtra) {
      std::lock_guard lock(point_->mutex_);
      extra_ = &point_->extra_.find(name_)->second;
    }
  }
  data::NativeType nativeType() const noexcept override { return type_; }
  std::error_code read(data::Value& out) const override;
  std::error_code readBool(bool& out) const override { return readTyped(out, data::DataType::kBoolean); }
  std::error_code readInt64(std::int64_t& out) const override { return readTyped(out, data::DataType::kInteger); }
  std::error_code readUInt64(std::uint64_t& out) const override { return readTyped(out, data::DataType::kUnsigned); }
  std::error_code readDouble(double& out) const override { return readTyped(out, data::DataType::kDouble); }

 private:
  // The value this source reads; the caller holds the point's mutex. Extra attributes are never
  // removed, so their map node stays where it is.
  const data::Value& slot() const { return what_ == What::kValue ? point_->value_ : *extra_; }
  template <class T>
  std::error_code readTyped(T& out, data::DataType type) const {
    std::lock_guard lock(point_->mutex_);
    if (what_ == What::kQuality) {
      if constexpr (std::is_same_v<T, std::int64_t>) {
        out = point_->quality_;
        return {};
      } else {
        auto c = data::convert(data::Value(point_->quality_), type);
        if (!c) return c.error();
        out = std::get<T>(*c);
        return {};
      }
    }
    const data::Value& value = slot();
    if (const T* direct = std::get_if<T>(&value)) {
      out = *direct;
      return {};
    }
    auto c = data::convert(value, type);
    if (!c) return c.error();
    out = std::get<T>(*c);
    return {};
  }

  std::shared_ptr<const DataPoint> point_;
  What what_;
  std::string name_;
  data::NativeType type_;
  const data::Value* extra_ = nullptr;
};

namespace {
data::NativeType nativeTypeOf(data::DataType type) {
  switch (type) {
    case data::DataType::kBoolean: return data::NativeType::kBoolean;
    case data::DataType::kInteger: return data::NativeType::kInt64;
    case data::DataType::kUnsigned: return data::NativeType::kUInt64;
    case data::DataType::kDouble: return data::NativeType::kDouble;
    case data::DataType::kString: return data::NativeType::kString;
    case data::DataType::kTimeStamp: return data::NativeType::kTimeStamp;
    case data::DataType::kErrorCode: return data::NativeType::kErrorCode;
  }
  return data::NativeType::kNone;
}

}  // namespace

// Writes the value of a data point, converting to its type.
class ValueSink final : public data::WriteSink {
 public:
  explicit ValueSink(std::shared_ptr<DataPoint> point) : point_(std::move(point)) {}
  std::error_code write(const data::Value& value) override { return point_->setValue(value); }
  std::error_code writeComposite(bool, const data::Composite& value) override {
    // A structured value fits only a text point, as its JSON text.
    if (point_->type() != data::DataType::kString) return make_error_code(data::ConversionError::kNotConvertible);
    StringStream stream;
    utils::json::encoder::Document document(stream, 1);
    value.write(document.asValue());
    document.close();
    return point_->setValue(data::Value(stream.take()));
  }

 private:
  std::shared_ptr<DataPoint> point_;
};

std::error_code ValueSource::read(data::Value& out) const {
  std::lock_guard lock(point_->mutex_);
  switch (what_) {
    case What::kValue: out = point_->value_; break;
    case What::kQuality: out = point_->quality_; break;
    case What::kExtra: out = *extra_; break;
  }
  return {};
}

DataPoint::DataPoint(std::string name, utils::core::Uuid uuid, data::DataType type)
    : model::Element(name, name, uuid), type_(type) {
  switch (type) {
    case data::DataType::kBoolean: value_ = false; break;
    case data::DataType::kInteger: value_ = std::int64_t{0}; break;
    case data::DataType::kUnsigned: value_ = std::uint64_t{0}; break;
    case data::DataType::kDouble: value_ = 0.0; break;
    case data::DataType::kString: value_ = std::string(); break;
    case data::DataType::kTimeStamp: value_ = kNever; break;
    case data::DataType::kErrorCode: value_ = std::error_code(); break;
  }
}

data::ReadHandle DataPoint::attributeReadHandle(std::string_view name) const {
  auto self = std::static_pointer_cast<const DataPoint>(shared_from_this());
  if (name == model::Attribute::kValue.name) {
    if (!readable_) return data::ReadHandle(data::ReadHandle::Error::kWriteOnly);
    return data::ReadHandle(std::make_shared<ValueSource>(self, ValueSource::What::kValue, "", nativeTypeOf(type_)));
  }
  if (name == model::Attribute::kQuality.name) {
    return data::ReadHandle(
        std::make_shared<ValueSource>(self, ValueSource::What::kQuality, "", data::NativeType::kInt64));
  }
  data::NativeType type;
  {
    std::lock_guard lock(mutex_);
    auto it = extra_.find(name);
    if (it == extra_.end()) return data::ReadHandle(data::ReadHandle::Error::kNoSuchAttribute);
    type = data::nativeTypeOf(it->second);
  }
  return data::ReadHandle(std::make_shared<ValueSource>(self, ValueSource::What::kExtra, std::string(name), type));
}

data::WriteHandle DataPoint::attributeWriteHandle(const model::Attribute& attribute) {
  if (!(attribute == model::Attribute::kValue)) return data::WriteHandle(data::WriteHandle::Error::kNoSuchAttribute);
  if (!writable_) return data::WriteHandle(data::WriteHandle::Error::kReadOnly);
  return data::WriteHandle(std::make_shared<ValueSink>(std::static_pointer_cast<DataPoint>(shared_from_this())));
}

bool DataPoint::forEachAttribute(const model::ForEachAttributeFunction& function) const {
  if (function(model::Attribute::kValue) || function(model::Attribute::kQuality)) return true;
  return false;
}

std::error_code DataPoint::setValue(const data::Value& value, TimeStamp time) {
  auto store = [&](auto&& newValue) {
    std::function<void(const DataPoint&)> listener;
    {
      std::lock_guard lock(mutex_);
      value_ = std::forward<decltype(newValue)>(newValue);
      changeTime_ = time;
      // Every write counts under the lock, so a plain increment loses none.
      changes_.store(changes_.load(std::memory_order_relaxed) + 1, std::memory_order_release);
      if (listener_) listener = listener_;
    }
    if (listener) listener(*this);
  };
  // A value of the point's own type is copied in place, so a text reuses the room of the one
  // before; any other is converted first.
  if (value.index() == valueIndexOf(type_)) {
    store(value);
    return {};
  }
  auto converted = data::convert(value, type_);
  if (!converted) return converted.error();
  store(std::move(*converted));
  return {};
}

data::Value DataPoint::value() const {
  std::lock_guard lock(mutex_);
  return value_;
}
std::int64_t DataPoint::quality() const {
  std::lock_guard lock(mutex_);
  return quality_;
}
void DataPoint::setQuality(std::int64_t quality) {
  std::lock_guard lock(mutex_);
  quality_ = quality;
}
void DataPoint::setExtraAttribute(std::string name, data::Value value) {
  std::lock_guard lock(mutex_);
  extra_[std::move(name)] = std::move(value);
}
TimeStamp DataPoint::changeTime() const {
  std::lock_guard lock(mutex_);
  return changeTime_;
}

}  // namespace corvane::runtime
