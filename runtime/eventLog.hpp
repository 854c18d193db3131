#pragma once
// `run` without a terminal (or with --events): one JSON object per line for every event, record
// change and data point change, each line flushed as it is written so that a pipe sees it at once;
// and every so often the delivery ledger.
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "ledger.hpp"
#include "runOutput.hpp"
#include "watchedModel.hpp"

namespace corvane::run {

class EventLog final : public RunOutput {
 public:
  EventLog(const WatchedModel& model, const Ledger& ledger, std::chrono::nanoseconds ledgerInterval, std::FILE* out);

  void started(TimeStamp time) override;
  void recordCommitted(TimeStamp time) override;
  void eventRaised(std::size_t element, std::string_view event, TimeStamp time) override;
  void dataPointChanged(const runtime::DataPoint& point) override;
  void tick(TimeStamp time) override;
  void stopping(TimeStamp time, std::string_view reason) override;
  void stopped(TimeStamp time) override;

 private:
  // Under mutex_.
  void write(const JsonLine& line);

  const WatchedModel& model_;
  const Ledger& ledger_;
  std::chrono::nanoseconds ledgerInterval_;
  TimeStamp nextLedger_ = kNever;  // when the next "ledger" line is due; main thread only
  std::FILE* out_;
  std::mutex mutex_;                              // one line at a time; guards last_, broken_
  std::vector<std::optional<RecordCopy>> last_;   // the records as last written, per element
  bool broken_ = false;                           // the reader has gone
};

}  // namespace corvane::run
