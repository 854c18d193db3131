#pragma once
// `run` without a terminal (or with --events): one JSON object per line for every event, record
// change and data point change, each line handed to the output writer, which writes it at once
// without letting the model's threads wait for the reader; and every so often the delivery ledger.
#include <mutex>
#include <string>
#include <vector>

#include "ledger.hpp"
#include "outputWriter.hpp"
#include "runOutput.hpp"
#include "watchedModel.hpp"

namespace corvane::run {

class EventLog final : public RunOutput {
 public:
  EventLog(const WatchedModel& model, const Ledger& ledger, std::chrono::nanoseconds ledgerInterval, OutputWriter& out);

  void started(TimeStamp time) override;
  void recordCommitted(TimeStamp time) override;
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

}  // namespace corvane::run
