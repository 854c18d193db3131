#include "client/addressLookup.hpp"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <ctime>
#include <thread>

#include "errors/addressLookupError.hpp"

namespace corvane::plugins::mqttClient {

// What the resolver reads and writes while it works: it must stay where it is until the answer.
struct AddressLookup::Request {
  std::string host;
  std::string service;
  addrinfo hints{};
  gaicb block{};
#if defined(__SANITIZE_THREAD__)
  std::atomic<int> result{EAI_INPROGRESS};
  std::atomic<bool> released{false};  // by whichever of the waiter and the lookup's thread is last
#endif

  ~Request() {
    if (block.ar_result) freeaddrinfo(block.ar_result);
  }
};

namespace {
// How long one wait for the resolver lasts before a stop request is looked at again.
constexpr std::chrono::milliseconds kSlice{100};

using Request = AddressLookup::Request;

#if defined(__SANITIZE_THREAD__)
// ThreadSanitizer cannot follow the C library's own resolver threads (they crash in its
// allocator): its builds look the name up on a detached thread of their own, which the request
// outlives until both sides have let go of it.
int start(Request* request) {
  std::thread([request] {
    const int result = getaddrinfo(request->block.ar_name, request->block.ar_service, request->block.ar_request,
                                   &request->block.ar_result);
    request->result = result;
    if (request->released.exchange(true)) delete request;
  }).detach();
  return 0;
}
int status(const Request* request) { return request->result; }
void suspend(const Request*, const timespec& timeout) {
  std::this_thread::sleep_for(std::chrono::nanoseconds(std::min(timeout.tv_nsec, 5'000'000L)));
}
void release(Request* request) {
  if (request->released.exchange(true)) delete request;
}
#else
int start(Request* request) {
  gaicb* list[] = {&request->block};
  sigevent none{};
  none.sigev_notify = SIGEV_NONE;
  return getaddrinfo_a(GAI_NOWAIT, list, 1, &none);
}
int status(const Request* request) { return gai_error(const_cast<gaicb*>(&request->block)); }
void suspend(const Request* request, const timespec& timeout) {
  const gaicb* list[] = {&request->block};
  gai_suspend(list, 1, &timeout);
}
void release(Request* request) {
  // The resolver's own thread writes the answer into a request it is working on: leave it that one.
  if (status(request) == EAI_INPROGRESS && gai_cancel(&request->block) == EAI_NOTCANCELED) return;
  delete request;
}
#endif
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
  if (const int result = start(request_); result != 0) {
    const int error = result == EAI_SYSTEM ? errno : EAGAIN;
    delete request_;
    throw std::system_error(error, std::system_category(), "getaddrinfo_a");
  }
}

AddressLookup::~AddressLookup() { release(request_); }

bool AddressLookup::wait(Clock::time_point deadline, std::stop_token stop) {
  while (status(request_) == EAI_INPROGRESS) {
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero() || stop.stop_requested()) return false;
    const auto slice = std::chrono::duration_cast<std::chrono::nanoseconds>(std::min<Clock::duration>(left, kSlice));
    suspend(request_, timespec{0, static_cast<long>(slice.count())});
  }
  return true;
}

std::error_code AddressLookup::error() const {
  const int result = status(request_);
  if (result == 0) return {};
  // The resolver's errno stays on its own thread: EAI_SYSTEM is all there is to say.
  return {result, addressLookupErrorCategory()};
}

const addrinfo* AddressLookup::addresses() const {
  return status(request_) == 0 ? request_->block.ar_result : nullptr;
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
