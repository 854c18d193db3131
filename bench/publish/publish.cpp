#include "publish/publish.hpp"

#include <unistd.h>

#include <fstream>
#include <memory>

#include "publish/loopbackBroker.hpp"

namespace corvane::bench {

int publishBrokerPort() {
  static const auto broker = std::make_unique<LoopbackBroker>();
  return broker->port();
}

const std::string& publishPayload() {
  static const std::string payload = [] {
    std::string text;
    for (std::size_t i = 0; text.size() < kPayloadSize; ++i) text += static_cast<char>('a' + i % 26);
    return text;
  }();
  return payload;
}

std::int64_t residentKiB() {
  std::ifstream statm("/proc/self/statm");
  std::int64_t size = 0, resident = 0;
  statm >> size >> resident;
  return resident * ::sysconf(_SC_PAGESIZE) / 1024;
}

}  // namespace corvane::bench
