#pragma once
// Errors that libmosquitto's and OpenSSL's callbacks record on the thread that made the call
// which ran them, so the call's result can be turned into a precise code.
#include <cstdint>
#include <system_error>

namespace corvane::plugins::mqttClient {

struct CallbackState {
  std::uint32_t opensslError = 0;  // packed OpenSSL code from an error log line
  std::error_code callbackError{0, std::system_category()};
  int socketError = 0;  // errno of a handshake step that failed in a system call

  void reset() noexcept {
    opensslError = 0;
    callbackError = std::error_code(0, std::system_category());
    socketError = 0;
  }
};

// The calling thread's record.
CallbackState& callbackState() noexcept;

}  // namespace corvane::plugins::mqttClient
