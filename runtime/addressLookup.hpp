#pragma once
// A broker's host name looked up on a thread of its own, as the client looks it up before it
// connects: a resolver that never answers then holds up nothing. The wait for the answer ends at a
// deadline or a stop request; a lookup given up finishes on its own and cleans up after itself.
#include <netdb.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <system_error>
#include <thread>

#include "errors/addressLookupError.hpp"

namespace corvane::run {

class AddressLookup {
 public:
  using Clock = std::chrono::steady_clock;

  // Starts looking `host` up for a TCP connection to `port`. Throws std::system_error when no
  // thread can be started for it.
  AddressLookup(const std::string& host, std::uint16_t port) : record_(std::make_shared<Record>()) {
    std::thread([record = record_, host, service = std::to_string(port)] {
      addrinfo hints{};
      hints.ai_family = AF_UNSPEC;
      hints.ai_socktype = SOCK_STREAM;
      hints.ai_flags = AI_NUMERICSERV;
      addrinfo* found = nullptr;
      const int result = getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
      const int systemError = errno;
      {
        std::lock_guard lock(record->mutex);
        record->finished = true;
        record->result = result;
        record->systemError = systemError;
        record->found = found;
      }
      record->done.notify_all();
    }).detach();
  }

  // Waits for the answer until `deadline` or a stop request, whichever comes first; true once the
  // answer is there.
  bool wait(Clock::time_point deadline, std::stop_token stop = {}) {
    std::unique_lock lock(record_->mutex);
    return record_->done.wait_until(lock, stop, deadline, [this] { return record_->finished; });
  }
  // Waits for the answer or a stop request; true once the answer is there.
  bool wait(std::stop_token stop) {
    std::unique_lock lock(record_->mutex);
    return record_->done.wait(lock, stop, [this] { return record_->finished; });
  }

  // Once a wait returned true: nothing, or the code the client records for the failure (a
  // "getaddrinfo" code, or the system's own for EAI_SYSTEM).
  std::error_code error() const {
    std::lock_guard lock(record_->mutex);
    if (record_->result == 0) return {};
    if (record_->result == EAI_SYSTEM) return {record_->systemError, std::system_category()};
    return {record_->result, plugins::mqttClient::addressLookupErrorCategory()};
  }

  // Once a wait returned true and without an error: the addresses, in the resolver's order.
  const addrinfo* addresses() const {
    std::lock_guard lock(record_->mutex);
    return record_->found;
  }

 private:
  // Shared with the lookup's thread, which may outlive the one that waited for it.
  struct Record {
    std::mutex mutex;
    std::condition_variable_any done;
    bool finished = false;
    int result = 0;
    int systemError = 0;
    addrinfo* found = nullptr;

    ~Record() {
      if (found) freeaddrinfo(found);
    }
  };
  std::shared_ptr<Record> record_;
};

}  // namespace corvane::run
