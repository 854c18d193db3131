#pragma once
// `corvane-run run MODEL`: runs a model until SIGINT, SIGTERM or the end of --duration, showing a
// live status view on a terminal and JSON lines otherwise.
#include <optional>

#include <CLI/CLI.hpp>

#include "modelFile.hpp"

namespace corvane::run {

struct RunOptions {
  ModelFileOptions model;
  std::optional<double> durationSeconds;
  bool events = false;
  unsigned threads = 4;
  double ledgerIntervalSeconds = 10;  // between two "ledger" lines of the event log
  std::optional<std::string> metricsAddress;  // HOST:PORT of the Prometheus endpoint
};

void setupRun(CLI::App& app);
int runRun(const RunOptions& options);

}  // namespace corvane::run
