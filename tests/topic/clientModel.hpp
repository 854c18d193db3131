#pragma once
// A runtime model of one client with its children, driven stage by stage the way the runtime's
// scheduler would, so that every publication happens exactly when a test runs the task.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

#include <corvane/runtime.hpp>

#include "client/client.hpp"
#include "topic/topic.hpp"

namespace corvane::plugins::mqttClient::testing {

// Polls `condition` every 2 ms until it holds or `timeout` has passed; the last answer.
template <class Condition>
bool waitUntil(Condition condition, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return condition();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// `{"dataPoints": [dataPoints], "elements": [a client "broker" on 127.0.0.1:port with clientConfig
// added to its configuration, and children]}`.
inline std::string clientModelText(int port, std::string_view clientConfig, std::string_view children,
                                   std::string_view dataPoints = "") {
  std::string text = R"({"dataPoints": [)" + std::string(dataPoints) + R"(],
  "elements": [{"skill": "MQTT", "class": "Client", "name": "broker",
    "config": {"brokerAddress": "127.0.0.1:)" + std::to_string(port) + "\"";
  if (!clientConfig.empty()) text += ", " + std::string(clientConfig);
  text += "},\n    \"children\": [" + std::string(children) + "]}]}";
  return text;
}

class ClientModel {
 public:
  explicit ClientModel(const std::string& text) {
    model.loadText(text, ".");
    model.realizeAndPrepare();
    client = std::dynamic_pointer_cast<Client>(model.skillElement("broker"));
    if (!client) throw std::logic_error("the model has no client \"broker\"");
    client->cleanupTimeout = std::chrono::seconds(2);
  }
  ~ClientModel() {
    if (active_) deactivate();
    model.shutdown();
  }
  ClientModel(const ClientModel&) = delete;
  ClientModel& operator=(const ClientModel&) = delete;

  std::shared_ptr<Topic> topic(std::string_view name) const {
    return std::dynamic_pointer_cast<Topic>(model.skillElement("broker/" + std::string(name)));
  }
  // Pre-operational stages of every task: each activates the client.
  void activate() {
    for (const auto& entry : model.tasks()) {
      if (entry->task->preparePreOperational() == corvane::process::Task::kProceed) entry->task->preOperational();
      entry->task->finishPreOperational();
    }
    active_ = true;
  }
  void deactivate() {
    for (const auto& entry : model.tasks()) {
      if (entry->task->preparePostOperational() == corvane::process::Task::kProceed) entry->task->postOperational();
      entry->task->finishPostOperational();
    }
    active_ = false;
  }
  // One run of a task's operational stage, with the cycle's time stamp.
  void run(std::string_view elementPath, std::string_view role, TimeStamp time) {
    for (const auto& entry : model.tasks()) {
      if (entry->elementPath == elementPath && entry->role.name == role) {
        entry->task->operational(corvane::process::Task::ExecutionContext(time));
        return;
      }
    }
    throw std::invalid_argument("no task \"" + std::string(role) + "\" of \"" + std::string(elementPath) + "\"");
  }
  void publish(std::string_view topicName, TimeStamp time) { run("broker/" + std::string(topicName), "publish", time); }
  bool waitForConnected(std::chrono::milliseconds timeout = std::chrono::seconds(5)) const {
    return waitUntil([&] { return client->data().deviceState; }, timeout);
  }

  corvane::runtime::Model model;
  std::shared_ptr<Client> client;

 private:
  bool active_ = false;
};

}  // namespace corvane::plugins::mqttClient::testing
