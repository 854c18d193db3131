#pragma once
// `corvane-run render MODEL`: renders every topic's payload and every birth message once from the
// data points' current (initial) values and prints TOPIC<TAB>PAYLOAD lines, without connecting.
#include <CLI/CLI.hpp>

#include "modelFile.hpp"

namespace corvane::run {

struct RenderOptions {
  ModelFileOptions model;
};

void setupRender(CLI::App& app);
int runRender(const RenderOptions& options);

}  // namespace corvane::run
