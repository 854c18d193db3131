#pragma once
// A resolver that never answers, without a network, for the child processes a test starts.
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "tempDir.hpp"

namespace corvane::testing {

// The resolver hands a host name without a dot that /etc/hosts does not know to DNS, which first
// reads the alias file HOSTALIASES names: a FIFO nobody writes to holds every such lookup, in the
// processes started meanwhile, until they end.
class HangingLookups {
 public:
  static constexpr const char* kName = "corvane-unanswered";
  HangingLookups() {
    if (::mkfifo(fifo_.c_str(), 0600) != 0) throw std::runtime_error("mkfifo failed");
    ::setenv("HOSTALIASES", fifo_.c_str(), 1);
  }
  ~HangingLookups() { ::unsetenv("HOSTALIASES"); }
  HangingLookups(const HangingLookups&) = delete;
  HangingLookups& operator=(const HangingLookups&) = delete;

 private:
  TempDir dir_{"corvane-lookups"};
  std::filesystem::path fifo_ = dir_.path() / "aliases";
};

}  // namespace corvane::testing
