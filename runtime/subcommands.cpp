#include "subcommands.hpp"

#include <cstdio>

#include "stopSignals.hpp"

namespace corvane::run {

void runsWith(CLI::App& command, std::function<int()> run) {
  command.callback([run = std::move(run)] {
    if (int status = run()) throw CLI::RuntimeError(status);
  });
}

void addModelFileOptions(CLI::App& command, ModelFileOptions& options) {
  command.add_option("MODEL", options.file, "Model file (JSON: dataPoints and elements)")->required();
  command.add_option("--library", options.libraries,
                     "Skill library to load before the model (repeatable); the MQTT skill is built in")
      ->allow_extra_args(false);
}

void loadModel(runtime::Model& model, const ModelFileOptions& options, bool prepare) {
  runtime::LoadOptions load;
  for (const auto& library : options.libraries) load.libraries.emplace_back(library);
  {
    // `run` and `listen` block the stop signals before anything starts a thread; a large model
    // takes a while to read, and nothing is connected until it has.
    StopSignalsUnblocked stopEndsLoading;
    model.load(options.file, load);
  }
  if (prepare) model.realizeAndPrepare();
}

bool configured(const std::function<void()>& step) {
  try {
    step();
    return true;
  } catch (const std::exception& e) {
    // A file that is no model file at all has no place in it to name.
    const bool refused = dynamic_cast<const runtime::FileRefused*>(&e) != nullptr;
    std::fprintf(stderr, "%s%s\n", refused ? "corvane-run: " : "", e.what());
    std::fflush(stderr);
    return false;
  }
}

}  // namespace corvane::run
