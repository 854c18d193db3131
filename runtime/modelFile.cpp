#include "modelFile.hpp"

#include <cstdio>

namespace corvane::run {

void addModelFileOptions(CLI::App& command, ModelFileOptions& options) {
  command.add_option("MODEL", options.file, "Model file (JSON: dataPoints and elements)")->required();
  command.add_option("--library", options.libraries,
                     "Skill library to load before the model (repeatable); the MQTT skill is built in")
      ->allow_extra_args(false);
}

void loadModel(runtime::Model& model, const ModelFileOptions& options, bool prepare) {
  runtime::LoadOptions load;
  for (const auto& library : options.libraries) load.libraries.emplace_back(library);
  model.load(options.file, load);
  if (prepare) model.realizeAndPrepare();
}

int reportConfigurationError(const std::exception& error) {
  std::fprintf(stderr, "%s\n", error.what());
  std::fflush(stderr);
  return kConfigurationError;
}

}  // namespace corvane::run
