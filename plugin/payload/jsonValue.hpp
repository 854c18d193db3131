#pragma once
// An in-memory JSON value: constant template parts ("@JSON") and decoded command messages.
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include <corvane/utils/json.hpp>

namespace corvane::plugins::mqttClient {

class JsonValue {
 public:
  using Object = std::vector<std::pair<std::string, JsonValue>>;  // names unique, document order
  using Array = std::vector<JsonValue>;
  using Null = std::monostate;
  // The alternatives in their fixed order: the index is also the order of the type tests in load.
  using Variant = std::variant<Object, Array, std::string, std::int64_t, std::uint64_t, double, bool, Null>;
  enum Index : std::size_t {
    kObject = 0, kArray, kString, kSigned, kUnsigned, kDouble, kBoolean, kNull,
  };

  JsonValue() noexcept : value_(std::in_place_index<kNull>) {}
  template <class T>
    requires std::is_constructible_v<Variant, T&&> && (!std::is_same_v<std::remove_cvref_t<T>, JsonValue>)
  JsonValue(T&& value) : value_(std::forward<T>(value)) {}  // NOLINT: values convert implicitly

  // Builds a value from decoded JSON. A member name that occurs twice in one object fails with
  // "duplicate member \"NAME\" in JSON object" at that member's location.
  static JsonValue load(utils::json::decoder::Value& value);
  void write(utils::json::encoder::Value target) const;
  std::string toText() const;

  std::size_t index() const noexcept { return value_.index(); }
  const Variant& variant() const noexcept { return value_; }
  Variant& variant() noexcept { return value_; }
  template <class T>
  const T* getIf() const noexcept { return std::get_if<T>(&value_); }

  friend bool operator==(const JsonValue&, const JsonValue&) = default;

 private:
  Variant value_;
};

}  // namespace corvane::plugins::mqttClient
