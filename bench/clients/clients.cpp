#include "clients/clients.hpp"

#include <sys/resource.h>

namespace corvane::bench {

std::unique_ptr<LoopbackBroker> manyClientsBroker() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
  }
  return std::make_unique<LoopbackBroker>();
}

}  // namespace corvane::bench
