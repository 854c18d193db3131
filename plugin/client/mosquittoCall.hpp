#pragma once
// Calls into libmosquitto and the codes users see for their results.
#include <cerrno>
#include <system_error>

#include "ssl/callbackState.hpp"

namespace corvane::plugins::mqttClient {

// libmosquitto's result turned into the code users see, with what the callbacks recorded during
// the call (`capture`): a verification verdict or OpenSSL's own code says more than "TLS error".
std::error_code toErrorCode(int result, const CallbackState& capture);

// Every call into libmosquitto: a clean per-thread record before, its capture after.
template <class Call>
std::error_code bracketed(Call&& call) {
  callbackState().reset();
  int result = call();
  int savedErrno = errno;
  CallbackState capture = callbackState();
  callbackState().reset();
  errno = savedErrno;
  return toErrorCode(result, capture);
}

}  // namespace corvane::plugins::mqttClient
