#pragma once
// Lint of commands against a sample message: each entry's path followed in it as the command
// follows it, and what it selects converted as the command would write it, into a stand-in of
// the target data point, so nothing in the model changes.
#include <string>
#include <string_view>

#include "command/command.hpp"
#include "lintSource.hpp"
#include "lintWarning.hpp"

namespace corvane::run {

// The text of a sample message file, checked to be one JSON document as a command decodes a
// message. Throws std::runtime_error: "FILE:LINE:COLUMN: message", or when it cannot be read;
// runtime::FileRefused for a file that is no document (as a model file).
std::string readSample(const std::string& file);

// An entry whose path selects nothing in the sample, or whose target data point cannot take
// what it selects.
void lintSample(const plugins::mqttClient::Command& command, const std::string& path, std::string_view sample,
                const LintSource& source, LintWarnings& warnings);

}  // namespace corvane::run
