#pragma once
// What `run` reports while a model runs. The model calls in from its own threads: task workers,
// the simulation, each client's network thread (inside libmosquitto's callbacks). So no method
// writes: each makes its lines (or marks the view for a redraw) and hands them to the output
// writer, whose own thread waits for the reader.
#include <cstddef>
#include <string_view>

#include <corvane/runtime.hpp>
#include <corvane/time.hpp>

namespace corvane::run {

class RunOutput {
 public:
  virtual ~RunOutput() = default;
  // Once, just before the tasks start.
  virtual void started(TimeStamp time) = 0;
  // Some state record was committed (any thread).
  virtual void recordCommitted(TimeStamp time) = 0;
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

}  // namespace corvane::run
