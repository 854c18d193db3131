#include "runOutput.hpp"

namespace corvane::run {

EventLog::EventLog(const WatchedModel& model, const Ledger& ledger, std::chrono::nanoseconds ledgerInterval,
                   OutputWriter& out)
    : model_(model), ledger_(ledger), ledgerInterval_(ledgerInterval), out_(out), last_(model.elements().size()) {}

void EventLog::write(const JsonLine& line) {
  std::string text = line.text();
  text += '\n';
  out_.write(std::move(text));
}

void EventLog::started(TimeStamp time) {
  nextLedger_ = time + std::chrono::duration_cast<TimeStamp::duration>(ledgerInterval_);
  std::lock_guard lock(mutex_);
  write(JsonLine()
            .add("type", "started")
            .addTime("time", time)
            .add("model", model_.fileName())
            .add("elements", static_cast<std::uint64_t>(model_.elements().size()))
            .add("dataPoints", static_cast<std::uint64_t>(model_.dataPoints().size())));
  // The state everything starts from, so that a reader needs no other source.
  const auto& elements = model_.elements();
  for (std::size_t i = 0; i < elements.size(); ++i) {
    last_[i] = elements[i].read();
    if (last_[i]) {
      if (auto line = elements[i].recordLine(*last_[i], time)) write(*line);
    }
  }
  for (const auto& point : model_.dataPoints()) write(dataPointLine(*point, time));
}

void EventLog::recordCommitted(std::size_t element, TimeStamp time) {
  // Only the committed element's record is read and compared with its last copy.
  std::lock_guard lock(mutex_);
  const auto& e = model_.elements()[element];
  auto now = e.read();
  if (!now || now == last_[element]) return;
  last_[element] = std::move(now);
  if (auto line = e.recordLine(*last_[element], time)) write(*line);
}

void EventLog::eventRaised(std::size_t element, std::string_view event, TimeStamp time) {
  std::lock_guard lock(mutex_);
  write(JsonLine()
            .add("type", "event")
            .addTime("time", time)
            .add("element", model_.elements()[element].path)
            .add("event", event));
}

void EventLog::dataPointChanged(const runtime::DataPoint& point) {
  std::lock_guard lock(mutex_);
  write(dataPointLine(point, point.changeTime()));
}

void EventLog::tick(TimeStamp time) {
  // On a schedule from the start: the ticks come about once a second, a little early or late, so
  // the one nearest to each due time writes the line.
  constexpr auto kHalfTick = std::chrono::milliseconds(500);
  if (time + kHalfTick < nextLedger_) return;
  nextLedger_ += std::chrono::duration_cast<TimeStamp::duration>(ledgerInterval_);
  if (nextLedger_ + kHalfTick <= time) nextLedger_ = time + std::chrono::duration_cast<TimeStamp::duration>(ledgerInterval_);
  auto line = ledger_.line(time);
  std::lock_guard lock(mutex_);
  write(line);
}

void EventLog::stopping(TimeStamp time, std::string_view reason) {
  std::lock_guard lock(mutex_);
  write(JsonLine().add("type", "stopping").addTime("time", time).add("reason", reason));
}

void EventLog::stopped(TimeStamp time) {
  // The final counts: nothing is pending any more, so they add up without a remainder.
  auto ledger = ledger_.line(time);
  std::lock_guard lock(mutex_);
  write(ledger);
  write(JsonLine().add("type", "stopped").addTime("time", time));
}

}  // namespace corvane::run
