#include "subcommands.hpp"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "ledger.hpp"
#include "metrics.hpp"
#include "outputWriter.hpp"
#include "runOutput.hpp"
#include "stopSignals.hpp"
#include "watchedModel.hpp"

namespace corvane::run {

namespace {

// From the stop signal to the exit, with a reader that never reads again: a client's cleanup may
// take 5 s of it, the last lines get what is left, at most OutputWriter::kFinishLimit.
constexpr std::chrono::milliseconds kStopBudget{5500};
constexpr std::chrono::milliseconds kLeastFinish{100};

// Hooks the output and the ledger to every task run, record commit, event and data point change
// of the model.
void watch(runtime::Model& model, const WatchedModel& watched, RunOutput& output, Ledger& ledger) {
  model.setRunObserver([&ledger](const runtime::TaskEntry& task, TimeStamp time, bool finished) {
    ledger.taskRun(task, time, finished);
  });
  memory::setCommitObserver([&watched, &output, &ledger](const void* block, TimeStamp time) {
    auto element = watched.elementOf(block);
    if (!element) return;
    ledger.recordCommitted(*element, time);
    output.recordCommitted(*element, time);
  });
  const auto& elements = watched.elements();
  for (std::size_t i = 0; i < elements.size(); ++i) {
    auto element = elements[i].element.lock();
    if (!element) continue;
    element->forEachEvent([&output, &ledger, i](const process::Event::Role& role, const std::shared_ptr<process::Event>& event) {
      event->addListener(
          [&output, &ledger, i, name = std::string(role.name)](const process::Event&, TimeStamp time) {
            ledger.eventRaised(i, name, time);
            output.eventRaised(i, name, time);
          });
      return false;
    });
  }
  for (const auto& point : watched.dataPoints()) {
    point->setChangeListener([&output](const runtime::DataPoint& p) { output.dataPointChanged(p); });
  }
}

struct RunOptions {
  ModelFileOptions model;
  std::optional<double> durationSeconds;
  bool events = false;
  unsigned threads = 4;
  double ledgerIntervalSeconds = 10;  // between two "ledger" lines of the event log
  std::optional<std::string> metricsAddress;  // HOST:PORT of the Prometheus endpoint
};

int runRun(const RunOptions& options) {
  blockStopSignals();

  // Declared before the model, so that they outlive it: its shut-down still reports into them.
  struct CommitObserverReset {
    ~CommitObserverReset() { memory::setCommitObserver({}); }
  } commitObserverReset;
  // The one thread that writes standard output. A reader that has gone (a closed pipe) stops the
  // run in order, as SIGTERM does, rather than killing it with SIGPIPE; other write errors lose
  // lines but not the run.
  std::optional<OutputWriter> writer;
  std::optional<WatchedModel> watched;
  std::optional<Ledger> ledger;
  std::unique_ptr<RunOutput> output;
  std::unique_ptr<MetricsServer> metrics;
  runtime::Model model;
  if (!configured([&] { loadModel(model, options.model, true); })) return kConfigurationError;

  watched.emplace(model);
  ledger.emplace(*watched);
  auto ledgerInterval = std::chrono::duration_cast<std::chrono::nanoseconds>(
      std::chrono::duration<double>(options.ledgerIntervalSeconds));
  auto stopRun = [] { ::kill(::getpid(), SIGTERM); };
  if (options.events || !::isatty(STDOUT_FILENO)) {
    writer.emplace(STDOUT_FILENO, droppedJsonLine, stopRun);
    output = std::make_unique<EventLog>(*watched, *ledger, ledgerInterval, *writer);
  } else {
    // Frames that do not reach the terminal are skipped, not counted.
    writer.emplace(STDOUT_FILENO, nullptr, stopRun);
    output = std::make_unique<StatusView>(*watched, *ledger, *writer);
  }
  if (options.metricsAddress) {
    try {
      metrics = std::make_unique<MetricsServer>(*watched, *ledger, *options.metricsAddress);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "corvane-run: --metrics %s: %s\n", options.metricsAddress->c_str(), e.what());
      return 1;
    }
  }
  watch(model, *watched, *output, *ledger);

  std::string reason;
  try {
    // The initial state goes out before any task runs, so every change after it is a line of its own.
    output->started(now());
    model.start(options.threads);
    reason = waitForStop(options.durationSeconds, [&] {
      auto time = now();
      ledger->settle(time);
      output->tick(time);
    });
  } catch (...) {
    output->stopping(now(), "error");
    throw;
  }

  const auto stopAsked = std::chrono::steady_clock::now();
  output->stopping(now(), reason);
  model.stop();      // post-operational stages: the clients disconnect
  model.shutdown();  // cleanup (at most the cleanup limit per client), then destruction
  memory::setCommitObserver({});
  auto end = now();
  ledger->finish(end);
  output->stopped(end);
  // A reader that does not read gets a moment for the last lines, then they are lost.
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      stopAsked + kStopBudget - std::chrono::steady_clock::now());
  writer->finish(std::clamp(left, kLeastFinish, OutputWriter::kFinishLimit));
  return lostOutputStatus(*writer, "run");
}

}  // namespace

void setupRun(CLI::App& app) {
  auto options = std::make_shared<RunOptions>();
  auto* command = app.add_subcommand("run", "Run a model: connect, publish, take commands, show the live state");
  addModelFileOptions(*command, options->model);
  command->add_option("--duration", options->durationSeconds, "Stop after this many seconds (default: run until SIGINT, SIGTERM or SIGHUP)")
      ->check(secondsValidator());
  command->add_flag("--events", options->events,
                    "Print one JSON object per line for every event and change, also on a terminal");
  command->add_option("--threads", options->threads, "Task worker threads")->check(CLI::Range(1u, 64u));
  command->add_option("--ledger-interval", options->ledgerIntervalSeconds,
                      "Seconds between two \"ledger\" lines of the event log (default 10)")
      ->check(CLI::Range(1.0, 86400.0));
  command->add_option("--metrics", options->metricsAddress,
                      "Serve Prometheus metrics on http://HOST:PORT/metrics (e.g. 127.0.0.1:9464)");
  command->footer(
      "A terminal shows a live status view; without one (or with --events) every event, record change\n"
      "and data point change is one JSON object per line. SIGINT/SIGTERM/SIGHUP stop in order (exit 0;\n"
      "1 when writing standard output failed, e.g. on a full disk, and lost lines: the run goes on).\n"
      "A configuration or prepare error prints FILE:LINE:COLUMN: message and exits with status 2.");
  runsWith(*command, [options] { return runRun(*options); });
}

}  // namespace corvane::run
