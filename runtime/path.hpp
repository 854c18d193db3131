#pragma once
// `corvane-run path EXPR [FILE]`: selects from one JSON document with a command's JSON path, so
// that a path can be checked against a sample message before it goes into a model.
#include <string>

#include <CLI/CLI.hpp>

namespace corvane::run {

// Exit statuses besides 0.
inline constexpr int kPathSelectsNothing = 1;
inline constexpr int kPathInvalid = 2;
inline constexpr int kDocumentInvalid = 3;

struct PathOptions {
  std::string expression;
  std::string file;  // empty or "-": standard input
};

void setupPath(CLI::App& app);
int runPath(const PathOptions& options);

}  // namespace corvane::run
