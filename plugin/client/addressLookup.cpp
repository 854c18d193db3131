#include "client/addressLookup.hpp"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <ctime>

#include "errors/addressLookupError.hpp"

namespace corvane::plugins::mqttClient {

// What the resolver reads and writes while it works: it must stay where it is until the answer.
struct AddressLookup::Request {
  std::string host;
  std::string service;
  addrinfo hints{};
  gaicb block{};

  ~Request() {
    if (block.ar_result) freeaddrinfo(block.ar_result);
  }
};

namespace {
// How long one wait for the resolver lasts before a stop request is looked at again.
constexpr std::chrono::milliseconds kSlice{100};
}  // namespace

bool isNumericAddress(const std::string& host) {
  in6_addr address;
  return inet_pton(AF_INET, host.c_str(), &address) == 1 || inet_pton(AF_INET6, host.c_str(), &address) == 1;
}

AddressLookup::AddressLookup(const std::string& host, std::uint16_t port) : request_(new Request) {
  request_->host = host;
  request_->service = std::to_string(port);
  request_->hints.ai_family = AF_UNSPEC;
  request_->hints.ai_socktype = SOCK_STREAM;
  request_->hints.ai_flags = AI_NUMERICSERV;
  request_->block.ar_name = request_->host.c_str();
  request_->block.ar_service = request_->service.c_str();
  request_->block.ar_request = &request_->hints;
  gaicb* list[] = {&request_->block};
  sigevent none{};
  none.sigev_notify = SIGEV_NONE;
  if (const int result = getaddrinfo_a(GAI_NOWAIT, list, 1, &none); result != 0) {
    const int error = result == EAI_SYSTEM ? errno : EAGAIN;
    delete request_;
    throw std::system_error(error, std::system_category(), "getaddrinfo_a");
  }
}

AddressLookup::~AddressLookup() {
  if (gai_error(&request_->block) == EAI_INPROGRESS && gai_cancel(&request_->block) == EAI_NOTCANCELED) {
    // The resolver's own thread writes the answer into the request when it comes: leave it there.
    return;
  }
  delete request_;
}

bool AddressLookup::wait(Clock::time_point deadline, std::stop_token stop) {
  const gaicb* list[] = {&request_->block};
  while (gai_error(&request_->block) == EAI_INPROGRESS) {
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero() || stop.stop_requested()) return false;
    const auto slice = std::chrono::duration_cast<std::chrono::nanoseconds>(std::min<Clock::duration>(left, kSlice));
    const timespec timeout{0, static_cast<long>(slice.count())};
    gai_suspend(list, 1, &timeout);
  }
  return true;
}

std::error_code AddressLookup::error() const {
  const int result = gai_error(&request_->block);
  if (result == 0) return {};
  // The resolver's errno stays on its own thread: EAI_SYSTEM is all there is to say.
  return {result, addressLookupErrorCategory()};
}

const addrinfo* AddressLookup::addresses() const {
  return gai_error(&request_->block) == 0 ? request_->block.ar_result : nullptr;
}

std::string AddressLookup::firstAddress() const {
  const addrinfo* address = addresses();
  if (!address) return {};
  char text[INET6_ADDRSTRLEN] = {};
  const void* raw = address->ai_family == AF_INET6
                        ? static_cast<const void*>(&reinterpret_cast<const sockaddr_in6*>(address->ai_addr)->sin6_addr)
                        : static_cast<const void*>(&reinterpret_cast<const sockaddr_in*>(address->ai_addr)->sin_addr);
  return inet_ntop(address->ai_family, raw, text, sizeof text) ? text : std::string();
}

}  // namespace corvane::plugins::mqttClient
