#pragma once
// `run` on a terminal: a live view of every client, topic, command and data point, redrawn when
// something changed, at most every 250 ms. The frames go through the output writer: a terminal
// that does not take them (stopped with Ctrl-S, a paused pane) holds up nothing but the redraws.
#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "ledger.hpp"
#include "outputWriter.hpp"
#include "runOutput.hpp"
#include "watchedModel.hpp"

namespace corvane::run {

class StatusView final : public RunOutput {
 public:
  static constexpr std::chrono::milliseconds kRedrawInterval{250};
  static constexpr std::size_t kRecentEvents = 8;

  StatusView(const WatchedModel& model, const Ledger& ledger, OutputWriter& out);
  ~StatusView() override;

  void started(TimeStamp time) override;
  void recordCommitted(TimeStamp time) override;
  void eventRaised(std::size_t element, std::string_view event, TimeStamp time) override;
  void dataPointChanged(const runtime::DataPoint& point) override;
  void tick(TimeStamp time) override;
  void stopping(TimeStamp time, std::string_view reason) override;
  void stopped(TimeStamp time) override;

  // The whole view as text (no terminal control sequences: text from outside is shown escaped).
  std::string frame() const;

 private:
  void drawLoop();
  // Skipped (and left due) while the last frame has not reached the terminal yet.
  void draw();

  const WatchedModel& model_;
  const Ledger& ledger_;
  OutputWriter& out_;
  std::chrono::steady_clock::time_point startedAt_;
  std::atomic<bool> dirty_{true};
  mutable std::mutex mutex_;  // guards recent_, stopping_
  std::condition_variable wake_;
  std::deque<std::string> recent_;
  bool stopping_ = false;
  std::thread drawer_;  // the view's thread: redraws until stopping()
};

}  // namespace corvane::run
