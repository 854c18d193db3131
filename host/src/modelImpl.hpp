#pragma once
// What a Model keeps beyond its public members: the loaded text and the scheduler's state, shared
// by the files that load, schedule and simulate.
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <queue>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "corvane/runtime.hpp"

namespace corvane::runtime {

struct Model::Impl {
  std::string text;  // the model file, which raw "config" views point into
  std::unique_ptr<config::Context> context;
  std::vector<std::map<std::string, std::chrono::nanoseconds, std::less<>>> cycles;  // per element

  // Scheduler and simulator
  std::mutex mutex;
  std::condition_variable wake;
  bool stopping = false;
  bool started = false;
  std::vector<std::thread> workers;
  std::thread simulator;
  using Due = std::pair<std::chrono::steady_clock::time_point, std::size_t>;
  std::priority_queue<Due, std::vector<Due>, std::greater<>> queue;
};


}  // namespace corvane::runtime
