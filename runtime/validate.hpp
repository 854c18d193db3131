#pragma once
// `corvane-run validate MODEL`: loads, resolves and prepares a model without connecting and prints
// what each element's configuration resolved to, one JSON object per line, then a warning line
// for each thing in it that will not behave as its author expects.
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "modelFile.hpp"

namespace corvane::run {

// Exit status of --strict when there is a warning.
inline constexpr int kLintWarnings = 1;

struct ValidateOptions {
  ModelFileOptions model;
  bool strict = false;
  std::string sample;                 // a message file to check command entries against
  std::vector<std::string> commands;  // the commands it is for (all when empty)
};

void setupValidate(CLI::App& app);
int runValidate(const ValidateOptions& options);

}  // namespace corvane::run
