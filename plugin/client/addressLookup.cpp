#include "client/addressLookup.hpp"

#include <sys/socket.h>

#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "errors/addressLookupError.hpp"

namespace corvane::plugins::mqttClient {

struct AddressLookup::Record {
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

AddressLookup::AddressLookup(const std::string& host, std::uint16_t port) : record_(std::make_shared<Record>()) {
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

bool AddressLookup::wait(Clock::time_point deadline, std::stop_token stop) {
  std::unique_lock lock(record_->mutex);
  return record_->done.wait_until(lock, stop, deadline, [this] { return record_->finished; });
}

bool AddressLookup::wait(std::stop_token stop) {
  std::unique_lock lock(record_->mutex);
  return record_->done.wait(lock, stop, [this] { return record_->finished; });
}

std::error_code AddressLookup::error() const {
  std::lock_guard lock(record_->mutex);
  if (record_->result == 0) return {};
  if (record_->result == EAI_SYSTEM) return {record_->systemError, std::system_category()};
  return {record_->result, addressLookupErrorCategory()};
}

const addrinfo* AddressLookup::addresses() const {
  std::lock_guard lock(record_->mutex);
  return record_->found;
}

}  // namespace corvane::plugins::mqttClient
