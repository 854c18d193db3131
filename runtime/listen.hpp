#pragma once
// `corvane-run listen MODEL`: subscribes to every command topic and shows what each command entry
// would select and write, without writing any data point.
#include <optional>

#include <CLI/CLI.hpp>

#include "modelFile.hpp"

namespace corvane::run {

struct ListenOptions {
  ModelFileOptions model;
  std::optional<double> durationSeconds;
};

void setupListen(CLI::App& app);
int runListen(const ListenOptions& options);

}  // namespace corvane::run
