#include "errors/addressLookupError.hpp"

#include <netdb.h>

#include <string>

namespace corvane::plugins::mqttClient {

namespace {
class AddressLookupErrorCategory final : public std::error_category {
 public:
  const char* name() const noexcept override { return "getaddrinfo"; }
  std::string message(int value) const override {
    if (value == EAI_SYSTEM) return "system error during host name lookup";
    return gai_strerror(value);
  }
};
}  // namespace

const std::error_category& addressLookupErrorCategory() noexcept {
  static const AddressLookupErrorCategory category;
  return category;
}

}  // namespace corvane::plugins::mqttClient
