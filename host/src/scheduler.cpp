#include <algorithm>
#include <chrono>
#include <stdexcept>

#include "modelImpl.hpp"

namespace corvane::runtime {

namespace {

using process::Task;

// One of the stages around operation, when the task has it: the task may decline to run it, and
// is told the stage is over either way.
void runStage(Task& task, unsigned stage, int (Task::*prepare)(), void (Task::*run)(), void (Task::*finish)()) {
  if ((task.stages() & stage) == 0) return;
  if ((task.*prepare)() == Task::kProceed) (task.*run)();
  (task.*finish)();
}

}  // namespace

void Model::runOperational(TaskEntry& entry) {
  TimeStamp time = now();
  if (runObserver_) runObserver_(entry, time, false);
  entry.task->operational(Task::ExecutionContext(time));
  entry.runs.fetch_add(1);
  if (runObserver_) runObserver_(entry, time, true);
}

void Model::runTaskOnce(const std::string& elementPath, std::string_view roleName) {
  for (auto& entry : tasks_) {
    if (entry->elementPath == elementPath && entry->role.name == roleName) {
      runOperational(*entry);
      return;
    }
  }
  throw std::invalid_argument("no task \"" + std::string(roleName) + "\" of element \"" + elementPath + "\"");
}

void Model::start(unsigned threads) {
  for (auto& entry : tasks_) {
    runStage(*entry->task, Task::kStartup, &Task::prepareStartup, &Task::startup, &Task::finishStartup);
    runStage(*entry->task, Task::kPreOperational, &Task::preparePreOperational, &Task::preOperational,
             &Task::finishPreOperational);
  }
  std::unique_lock lock(impl_->mutex);
  impl_->stopping = false;
  impl_->started = true;
  auto first = std::chrono::steady_clock::now();
  for (std::size_t i = 0; i < tasks_.size(); ++i) {
    if (tasks_[i]->task->stages() & Task::kOperational) impl_->queue.push({first, i});
  }
  lock.unlock();

  for (unsigned t = 0; t < std::max(1u, threads); ++t) {
    impl_->workers.emplace_back([this] {
      // Task worker: runs due operational stages; one task never runs on two workers at once,
      // since it leaves the queue while it runs.
      std::unique_lock guard(impl_->mutex);
      while (!impl_->stopping) {
        if (impl_->queue.empty()) {
          impl_->wake.wait(guard);
          continue;
        }
        auto [due, index] = impl_->queue.top();
        if (std::chrono::steady_clock::now() < due) {
          impl_->wake.wait_until(guard, due);
          continue;
        }
        impl_->queue.pop();
        guard.unlock();
        auto& entry = *tasks_[index];
        runOperational(entry);
        guard.lock();
        auto next = std::max(due + entry.cycle, std::chrono::steady_clock::now());
        impl_->queue.push({next, index});
        // Only a new earliest entry changes what an idle worker waits for: waking one for every
        // run costs thousands of context switches a second in a model of thousands of tasks.
        if (impl_->queue.top().second == index) impl_->wake.notify_one();
      }
    });
  }
  const bool anySimulated =
      std::any_of(dataPoints_.begin(), dataPoints_.end(), [](auto& p) { return p->simulation.has_value(); });
  if (anySimulated) impl_->simulator = std::thread([this] { simulate(); });
}

void Model::stop() {
  {
    std::lock_guard lock(impl_->mutex);
    if (!impl_->started) return;
    impl_->stopping = true;
    impl_->started = false;
  }
  impl_->wake.notify_all();
  for (auto& w : impl_->workers) w.join();
  impl_->workers.clear();
  if (impl_->simulator.joinable()) impl_->simulator.join();
  impl_->queue = {};
  for (auto& entry : tasks_) {
    runStage(*entry->task, Task::kPostOperational, &Task::preparePostOperational, &Task::postOperational,
             &Task::finishPostOperational);
    runStage(*entry->task, Task::kShutdown, &Task::prepareShutdown, &Task::shutdown, &Task::finishShutdown);
  }
}

}  // namespace corvane::runtime
