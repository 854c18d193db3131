#pragma once
// `corvane-run validate MODEL`: loads, resolves and prepares a model without connecting and prints
// what each element's configuration resolved to, one JSON object per line.
#include <CLI/CLI.hpp>

#include "modelFile.hpp"

namespace corvane::run {

struct ValidateOptions {
  ModelFileOptions model;
};

void setupValidate(CLI::App& app);
int runValidate(const ValidateOptions& options);

}  // namespace corvane::run
