#pragma once
// A broker's host name looked up before the client connects, by the C library's asynchronous
// resolver: a resolver that never answers then holds up nothing, and no thread running the skill's
// code is left behind when the library is unloaded. The wait for the answer ends at a deadline or a
// stop request.
#include <netdb.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <stop_token>
#include <string>
#include <system_error>

namespace corvane::plugins::mqttClient {

// An IPv4 or IPv6 address in numeric form, which needs no lookup.
bool isNumericAddress(const std::string& host);

class AddressLookup {
 public:
  using Clock = std::chrono::steady_clock;

  // Starts looking `host` up for a TCP connection to `port`. Throws std::system_error when the
  // resolver cannot take the request.
  AddressLookup(const std::string& host, std::uint16_t port);
  // A lookup still under way is cancelled; one the resolver is working on already is left to it,
  // with the few bytes of its request.
  ~AddressLookup();
  AddressLookup(const AddressLookup&) = delete;
  AddressLookup& operator=(const AddressLookup&) = delete;

  // Waits for the answer until `deadline` or a stop request, whichever comes first; true once the
  // answer is there.
  bool wait(Clock::time_point deadline, std::stop_token stop = {});

  // Once a wait returned true: nothing, or the "getaddrinfo" code the client records for the
  // failure.
  std::error_code error() const;
  // Once a wait returned true and without an error: the addresses, in the resolver's order.
  const addrinfo* addresses() const;
  // The first of them as numeric text, as a connect call takes it.
  std::string firstAddress() const;

  struct Request;

 private:
  Request* request_;  // owned, unless the resolver still holds it at destruction
};

}  // namespace corvane::plugins::mqttClient
