#pragma once
// Calls into libmosquitto and the codes users see for their results.
#include <cerrno>
#include <system_error>

#include "ssl/callbackState.hpp"

namespace corvane::plugins::mqttClient {

// libmosquitto's result turned into the code users see, with what the callbacks recorded during
// the call (`capture`): a verification verdict or OpenSSL's own code says more than "TLS error".
std::error_code toErrorCode(int result, const CallbackState& capture);

// Every call into libmosquitto: a clean per-thread record before, its capture after. Calls nest
// (a callback running inside a poll unsubscribes the commands): the outer call's record is put
// back afterwards, so what its callbacks recorded so far still explains its result. `captured`, when
// given, receives the record.
template <class Call>
std::error_code bracketed(Call&& call, CallbackState* captured = nullptr) {
  CallbackState outer = callbackState();
  callbackState().reset();
  int result = call();
  int savedErrno = errno;
  CallbackState capture = callbackState();
  callbackState() = outer;
  errno = savedErrno;
  if (captured) *captured = capture;
  return toErrorCode(result, capture);
}

}  // namespace corvane::plugins::mqttClient
