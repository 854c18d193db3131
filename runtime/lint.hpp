#pragma once
// Warnings about a model that loads and prepares but will not behave as its author expects:
// `validate` prints them after what the model resolved to.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <corvane/runtime.hpp>

#include "jsonLine.hpp"

namespace corvane::run {

struct LintOptions {
  // A message (its text, as readSample gives it) to check command entries against.
  std::optional<std::string> sample;
  // The command elements the sample is for; empty means every command.
  std::vector<std::string> commands;
};

// One JSON object per warning: "warning" (a sentence), "element" (its path) and where the model
// file says it ("file", "line", "column": the offending key, else the element). `modelText` is
// the model file's text (the model keeps no locations of configuration keys). Throws
// std::runtime_error for a command path that names no command element, or text that is not JSON.
std::vector<JsonLine> lintModel(const runtime::Model& model, std::string_view modelText, const LintOptions& options);

}  // namespace corvane::run
