#pragma once
// A broker's host name looked up on a thread of its own, before the client connects: a resolver
// that never answers then holds up nothing. The wait for the answer ends at a deadline or a stop
// request; a lookup given up finishes on its own and cleans up after itself.
#include <netdb.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <stop_token>
#include <string>
#include <system_error>

namespace corvane::plugins::mqttClient {

class AddressLookup {
 public:
  using Clock = std::chrono::steady_clock;

  // Starts looking `host` up for a TCP connection to `port`. Throws std::system_error when no
  // thread can be started for it.
  AddressLookup(const std::string& host, std::uint16_t port);

  // Waits for the answer until `deadline` or a stop request, whichever comes first; true once the
  // answer is there.
  bool wait(Clock::time_point deadline, std::stop_token stop = {});
  // Waits for the answer or a stop request; true once the answer is there.
  bool wait(std::stop_token stop);

  // Once a wait returned true: nothing, or the code the client records for the failure (a
  // "getaddrinfo" code, or the system's own for EAI_SYSTEM).
  std::error_code error() const;
  // Once a wait returned true and without an error: the addresses, in the resolver's order.
  const addrinfo* addresses() const;

 private:
  // Shared with the lookup's thread, which may outlive the one that waited for it.
  struct Record;
  std::shared_ptr<Record> record_;
};

}  // namespace corvane::plugins::mqttClient
