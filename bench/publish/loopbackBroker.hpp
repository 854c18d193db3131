#pragma once
// A mosquitto broker of the benchmark's own on 127.0.0.1: started in the constructor, ended
// (SIGTERM, then SIGKILL) in the destructor, and ended by the kernel if the benchmark dies.
#include <sys/types.h>

#include <filesystem>

namespace corvane::bench {

class LoopbackBroker {
 public:
  // Throws std::runtime_error when mosquitto does not accept connections within 10 s.
  LoopbackBroker();
  ~LoopbackBroker();
  LoopbackBroker(const LoopbackBroker&) = delete;
  LoopbackBroker& operator=(const LoopbackBroker&) = delete;

  int port() const noexcept { return port_; }

 private:
  void end() noexcept;

  std::filesystem::path directory_;
  pid_t pid_ = -1;
  int port_ = 0;
};

}  // namespace corvane::bench
