#include "listen.hpp"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "listener.hpp"
#include "stopSignals.hpp"
#include "watchedModel.hpp"

namespace corvane::run {

void setupListen(CLI::App& app) {
  auto options = std::make_shared<ListenOptions>();
  auto* command = app.add_subcommand(
      "listen", "Show what every command would write for the messages on its topic, without writing anything");
  addModelFileOptions(*command, options->model);
  command->add_option("--duration", options->durationSeconds, "Stop after this many seconds (default: until SIGINT or SIGTERM)")
      ->check(secondsValidator());
  command->footer(
      "Connects with each client's broker settings under a client identifier of its own (no will, no\n"
      "birth message) and subscribes to its commands' topics. Every message is one JSON object per line,\n"
      "per command on its topic: what each entry's JSON path selected (or why nothing) and what its data\n"
      "point would take (or the write's error). No data point is written. Connection notes go to\n"
      "standard error. Exit status 0 at SIGINT/SIGTERM or the end of --duration; 2 for a model error or\n"
      "a model without commands.");
  command->callback([options] {
    if (int status = runListen(*options)) throw CLI::RuntimeError(status);
  });
}

int runListen(const ListenOptions& options) {
  blockStopSignals();

  // Declared before the model and the listeners, so that it outlives both.
  ListenOutput output(STDOUT_FILENO, STDERR_FILENO);
  runtime::Model model;
  try {
    // Prepared as for a run: the write handles are bound and the clients' TLS contexts built.
    loadModel(model, options.model, true);
  } catch (const std::exception& e) {
    return reportConfigurationError(e);
  }

  struct ClientCommands {
    std::shared_ptr<mqtt::Client> client;
    std::string path;
    std::vector<Listener::CommandElement> commands;
  };
  std::vector<ClientCommands> clients;
  for (const auto& entry : model.elements()) {
    if (auto client = std::dynamic_pointer_cast<mqtt::Client>(entry.element)) {
      clients.push_back({client, entry.path, {}});
    } else if (auto command = std::dynamic_pointer_cast<mqtt::Command>(entry.element)) {
      for (auto& c : clients) {
        if (c.client.get() == &command->client()) c.commands.push_back({entry.path, command.get()});
      }
    }
  }
  std::erase_if(clients, [](const ClientCommands& c) { return c.commands.empty(); });
  if (clients.empty()) {
    std::fprintf(stderr, "%s: the model has no Command elements: nothing to listen to\n", options.model.file.c_str());
    std::fflush(stderr);
    return kConfigurationError;
  }

  // Nothing here writes a data point; a change would be a fault, shown as `run` shows changes.
  for (const auto& point : model.dataPoints()) {
    point->setChangeListener([&output](const runtime::DataPoint& p) { output.line(dataPointLine(p, now()).text()); });
  }

  std::vector<std::unique_ptr<Listener>> listeners;
  try {
    for (auto& c : clients) listeners.push_back(std::make_unique<Listener>(*c.client, c.path, std::move(c.commands), output));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "corvane-run listen: %s\n", e.what());
    return 1;
  }
  for (auto& listener : listeners) listener->start();
  waitForStop(options.durationSeconds);
  for (auto& listener : listeners) listener->stop();
  return 0;
}

}  // namespace corvane::run
