#include "client/wakeUp.hpp"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

#include "errors/customError.hpp"

namespace corvane::plugins::mqttClient {

WakeUp::WakeUp() : descriptor_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
  if (descriptor_ < 0) throw std::system_error(errnoError(errno), "eventfd");
}

WakeUp::~WakeUp() { ::close(descriptor_); }

void WakeUp::signal() noexcept {
  if (pending_.exchange(true)) return;
  const std::uint64_t one = 1;
  // Only fails when the counter is about to overflow: the thread is woken already.
  [[maybe_unused]] auto written = ::write(descriptor_, &one, sizeof one);
}

void WakeUp::clear() noexcept {
  std::uint64_t count;
  [[maybe_unused]] auto read = ::read(descriptor_, &count, sizeof count);
  // After the read: a signal skipped since then is for something the caller is about to see. An
  // exchange, not a store: what the caller reads next must not be read before the flag is cleared.
  pending_.exchange(false, std::memory_order_acq_rel);
}

}  // namespace corvane::plugins::mqttClient
