#pragma once
// What `run` reports while a model runs. The model calls in from its own threads: task workers,
// the simulation, each client's network thread (inside libmosquitto's callbacks). So no method
// writes: each makes its lines (or marks the view for a redraw) and hands them to the output
// writer, whose own thread waits for the reader.
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <corvane/runtime.hpp>
#include <corvane/time.hpp>

#include "ledger.hpp"
#include "outputWriter.hpp"
#include "watchedModel.hpp"

namespace corvane::run {

class RunOutput {
 public:
  virtual ~RunOutput() = default;
  // Once, just before the tasks start.
  virtual void started(TimeStamp time) = 0;
  // A state record of element number `element` was committed (any thread).
  virtual void recordCommitted(std::size_t element, TimeStamp time) = 0;
  // An event of element number `element` (model order) was raised (any thread).
  virtual void eventRaised(std::size_t element, std::string_view event, TimeStamp time) = 0;
  // A data point took a new value (any thread).
  virtual void dataPointChanged(const runtime::DataPoint& point) = 0;
  // About once a second from the main thread while the model runs: time for periodic output.
  virtual void tick(TimeStamp time) = 0;
  // Before the tasks stop. After it returns the output no longer reads records on its own.
  virtual void stopping(TimeStamp time, std::string_view reason) = 0;
  // After the model is shut down and the ledger finished; nothing calls in any more.
  virtual void stopped(TimeStamp time) = 0;
};

// `run` without a terminal (or with --events): one JSON object per line for every event, record
// change and data point change, each line handed to the output writer, which writes it at once
// without letting the model's threads wait for the reader; and every so often the delivery ledger.
class EventLog final : public RunOutput {
 public:
  EventLog(const WatchedModel& model, const Ledger& ledger, std::chrono::nanoseconds ledgerInterval, OutputWriter& out);

  void started(TimeStamp time) override;
  void recordCommitted(std::size_t element, TimeStamp time) override;
  void eventRaised(std::size_t element, std::string_view event, TimeStamp time) override;
  void dataPointChanged(const runtime::DataPoint& point) override;
  void tick(TimeStamp time) override;
  void stopping(TimeStamp time, std::string_view reason) override;
  void stopped(TimeStamp time) override;

 private:
  // Under mutex_, so that the lines go out in the order of the changes.
  void write(const JsonLine& line);

  const WatchedModel& model_;
  const Ledger& ledger_;
  std::chrono::nanoseconds ledgerInterval_;
  TimeStamp nextLedger_ = kNever;  // when the next "ledger" line is due; main thread only
  OutputWriter& out_;
  // Lock order: mutex_ before the writer's own. Held only while lines are made and queued.
  std::mutex mutex_;                              // one line at a time; guards last_
  std::vector<std::optional<RecordCopy>> last_;   // the records as last written, per element
};

// `run` on a terminal: a live view, redrawn when something changed, at most every 250 ms, of what
// fits on the screen: a summary (clients connected, topics failing, commands with errors, each
// problem with its count), the elements with a problem first, then the rest, the data points and
// the latest events. A record change updates the summary for its own element only, so the cost
// follows the changes and the screen, not the size of the model. The frames go through the output
// writer: a terminal that does not take them (stopped with Ctrl-S, a paused pane) holds up nothing
// but the redraws.
class StatusView final : public RunOutput {
 public:
  static constexpr std::chrono::milliseconds kRedrawInterval{250};
  static constexpr std::size_t kRecentEvents = 8;
  static constexpr std::size_t kSummaryProblems = 5;  // the most frequent problems the summary names

  StatusView(const WatchedModel& model, const Ledger& ledger, OutputWriter& out);
  ~StatusView() override;

  void started(TimeStamp time) override;
  void recordCommitted(std::size_t element, TimeStamp time) override;
  void eventRaised(std::size_t element, std::string_view event, TimeStamp time) override;
  void dataPointChanged(const runtime::DataPoint& point) override;
  void tick(TimeStamp time) override;
  void stopping(TimeStamp time, std::string_view reason) override;
  void stopped(TimeStamp time) override;

  // The view for a screen of `rows` lines of `columns` characters, as text (no terminal control
  // sequences: text from outside is shown escaped).
  std::string frame(std::size_t rows, std::size_t columns) const;

 private:
  void drawLoop();
  // Skipped (and left due) while the last frame has not reached the terminal yet.
  void draw();
  // Under mutex_: files the element under the problem its records show now (or none).
  void classify(std::size_t element);
  // The element's lines in the view; none once it is gone.
  std::vector<std::string> elementLines(std::size_t element) const;

  const WatchedModel& model_;
  const Ledger& ledger_;
  OutputWriter& out_;
  std::chrono::steady_clock::time_point startedAt_;
  std::atomic<bool> dirty_{true};
  mutable std::mutex mutex_;  // guards recent_, stopping_ and the problems below
  std::condition_variable wake_;
  std::deque<std::string> recent_;
  bool stopping_ = false;
  std::size_t clients_ = 0, topics_ = 0, commands_ = 0;  // in the model
  std::vector<std::string> problem_;  // per element: the problem it is counted under; empty: none
  std::set<std::size_t> withProblem_;  // elements with a problem, in model order
  std::map<std::pair<WatchedElement::Kind, std::string>, std::size_t> byProblem_;  // elements per problem
  std::thread drawer_;  // the view's thread: redraws until stopping()
};

}  // namespace corvane::run
