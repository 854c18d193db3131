#pragma once
// corvane-run's subcommands, and what those that read a model file share: the file, the extra skill
// libraries, and how a configuration error is reported.
#include <exception>
#include <functional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include <corvane/runtime.hpp>

namespace corvane::run {

// `run MODEL`: runs a model until SIGINT, SIGTERM or the end of --duration, showing a live status
// view on a terminal and JSON lines otherwise.
void setupRun(CLI::App& app);
// `validate MODEL`: loads, resolves and prepares a model without connecting and prints what each
// element's configuration resolved to, one JSON object per line, then a warning line for each thing
// in it that will not behave as its author expects.
void setupValidate(CLI::App& app);
// `render MODEL`: renders every topic's payload and every birth message once from the data points'
// current (initial) values and prints TOPIC<TAB>PAYLOAD lines, without connecting.
void setupRender(CLI::App& app);
// `path EXPR [FILE]`: selects from one JSON document with a command's JSON path, so that a path can
// be checked against a sample message before it goes into a model.
void setupPath(CLI::App& app);
// `tls-probe MODEL [CLIENT]`: one TLS handshake with a client's own settings, and what it found out
// about the broker's certificates.
void setupTlsProbe(CLI::App& app);
// `listen MODEL`: subscribes to every command topic and shows what each command entry would select
// and write, without writing any data point.
void setupListen(CLI::App& app);

// The subcommand's callback: runs `run`, and a status other than 0 ends corvane-run with it.
void runsWith(CLI::App& command, std::function<int()> run);

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
// ends the process while the file is read (StopSignalsUnblocked).
void loadModel(runtime::Model& model, const ModelFileOptions& options, bool prepare);

// Runs `step` (loading, preparing, checking). On a failure it prints "FILE:LINE:COLUMN: message"
// ("corvane-run: FILE: reason" for a refused file, the text of any other failure) to standard error
// and returns false; the caller then exits with kConfigurationError.
bool configured(const std::function<void()>& step);

}  // namespace corvane::run
