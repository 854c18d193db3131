#pragma once
// A value or the error code that explains why there is none (the shape of C++23 std::expected,
// reduced to what run-time reporting needs).
#include <cassert>
#include <system_error>
#include <type_traits>
#include <utility>
#include <variant>

namespace corvane::utils {

struct Unexpected {
  std::error_code error;
};
inline Unexpected unexpected(std::error_code e) { return {e}; }

template <class T>
class Expected {
 public:
  Expected() requires std::is_default_constructible_v<T> : state_(std::in_place_index<0>) {}
  Expected(T value) : state_(std::in_place_index<0>, std::move(value)) {}  // NOLINT
  Expected(Unexpected u) : state_(std::in_place_index<1>, u.error) {}      // NOLINT

  bool has_value() const noexcept { return state_.index() == 0; }
  explicit operator bool() const noexcept { return has_value(); }
  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  std::error_code error() const { return has_value() ? std::error_code{} : std::get<1>(state_); }

 private:
  std::variant<T, std::error_code> state_;
};

template <>
class Expected<void> {
 public:
  Expected() = default;
  Expected(Unexpected u) : error_(u.error), failed_(true) {}  // NOLINT
  bool has_value() const noexcept { return !failed_; }
  explicit operator bool() const noexcept { return has_value(); }
  std::error_code error() const { return error_; }

 private:
  std::error_code error_;
  bool failed_ = false;
};

}  // namespace corvane::utils
