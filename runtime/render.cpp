#include "subcommands.hpp"

#include <cstdio>
#include <memory>
#include <string>

#include "watchedModel.hpp"

namespace corvane::run {

namespace {

void printMessage(const std::string& topic, const std::string& payload) {
  std::string line = topic;
  line += '\t';
  line += payload;
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), stdout);
}

struct RenderOptions {
  ModelFileOptions model;
};

int runRender(const RenderOptions& options) {
  runtime::Model model;
  // Preparing binds the payloads' read handles, exactly as before a real run.
  if (!configured([&] { loadModel(model, options.model, true); })) return kConfigurationError;

  for (const auto& entry : model.elements()) {
    if (auto client = std::dynamic_pointer_cast<mqtt::Client>(entry.element)) {
      if (const auto& birth = client->birthMessage()) printMessage(birth->topic, birth->payload.render(birth->attributeNames));
    } else if (auto topic = std::dynamic_pointer_cast<mqtt::Topic>(entry.element)) {
      printMessage(topic->topicName(), topic->payload().render(topic->attributeNames()));
    }
  }
  std::fflush(stdout);
  return 0;
}

}  // namespace

void setupRender(CLI::App& app) {
  auto options = std::make_shared<RenderOptions>();
  auto* command = app.add_subcommand("render", "Print every topic's payload as it would be published now");
  addModelFileOptions(*command, options->model);
  command->footer(
      "One TOPIC<TAB>PAYLOAD line per message, in model order: each client's birth message (if any),\n"
      "then its topics. Data points have their initial values. Exit status 0, or 2 for a model error.");
  runsWith(*command, [options] { return runRender(*options); });
}

}  // namespace corvane::run
