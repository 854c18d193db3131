#pragma once
// What every subcommand that reads a model file shares: the file, the extra skill libraries, and
// how a configuration error is reported.
#include <exception>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include <corvane/runtime.hpp>

namespace corvane::run {

// Exit status of a configuration or prepare error.
inline constexpr int kConfigurationError = 2;

struct ModelFileOptions {
  std::string file;
  std::vector<std::string> libraries;
};

// Adds the MODEL argument and --library to a subcommand.
void addModelFileOptions(CLI::App& command, ModelFileOptions& options);

// Loads (creates, loads and resolves every element) and, with `prepare`, realizes and prepares it.
// Throws runtime::ModelError, or runtime::FileRefused for a file that is no model file (a FIFO, a
// device, a directory, a file above runtime::kFileSizeLimit). A stop signal blocked by the caller
// ends the process meanwhile (StopSignalsEndProcess).
void loadModel(runtime::Model& model, const ModelFileOptions& options, bool prepare);

// Prints "FILE:LINE:COLUMN: message" ("corvane-run: FILE: reason" for a refused file, the text of
// any other failure) to standard error and returns kConfigurationError.
int reportConfigurationError(const std::exception& error);

}  // namespace corvane::run
