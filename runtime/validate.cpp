#include "subcommands.hpp"

#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "jsonLine.hpp"
#include "lint.hpp"
#include "tlsProbeHandshake.hpp"
#include "watchedModel.hpp"

namespace corvane::run {

namespace {

// As the "mqttVersion" key spells it, so that the line can be copied back into a model (the
// skill's own name of level 3 is "3", which the key refuses).
std::string_view mqttVersionKey(int level) { return level == 3 ? "3.1" : mqtt::mqttVersionName(level); }

void describeClient(JsonLine& line, const mqtt::Client& client) {
  line.add("brokerAddress", client.brokerHost())
      .add("portNumber", static_cast<std::int64_t>(client.brokerPort()))
      .add("clientID", client.clientId())
      .add("mqttVersion", mqttVersionKey(client.mqttVersion()))
      .add("tls", client.tlsConfig() ? trustMode(*client.tlsConfig()) : "off")
      .add("clientCertificate", client.tlsConfig() && !client.tlsConfig()->clientCertificate.empty())
      .add("keepaliveInterval", static_cast<std::int64_t>(client.keepaliveInterval()))
      .add("username", client.username().has_value());
  if (const auto& birth = client.birthMessage()) {
    line.addRaw("birth", JsonLine()
                             .add("topic", birth->topic)
                             .add("QoS", birth->qos)
                             .add("retained", birth->retained)
                             .add("attributeNames", birth->attributeNames)
                             .add("waitsFor", client.birthTopics())
                             .text());
  } else {
    line.addNull("birth");
  }
  if (const auto& will = client.willMessage()) {
    line.addRaw("will", JsonLine()
                            .add("topic", will->topic)
                            .add("payload", will->payload)
                            .add("QoS", will->qos)
                            .add("retained", will->retained)
                            .add("abnormalDisconnectOnly", will->abnormalDisconnectOnly)
                            .text());
  } else {
    line.addNull("will");
  }
}

void describeTopic(JsonLine& line, const mqtt::Topic& topic) {
  line.add("topic", topic.topicName())
      .add("QoS", topic.qos())
      .add("retained", topic.retained())
      .add("requireForBirth", topic.requireForBirth())
      .add("attributeNames", topic.attributeNames())
      .add("payload", topic.payload().isTemplate() ? "template" : "fixed");
}

void describeCommand(JsonLine& line, const mqtt::Command& command) {
  std::string entries = "[";
  for (const auto& entry : command.payload().entries()) {
    if (entries.size() > 1) entries += ',';
    auto target = entry->target();
    JsonLine e;
    if (target) {
      e.add("dataPoint", target->primaryKey());
    } else {
      e.addNull("dataPoint");
    }
    e.add("jsonPath", entry->pathText()).add("asJSONText", entry->asJsonText());
    entries += e.text();
  }
  entries += ']';
  line.add("topic", command.topicName()).addRaw("entries", entries);
}

// Exit status of --strict when there is a warning.
constexpr int kLintWarnings = 1;

struct ValidateOptions {
  ModelFileOptions model;
  bool strict = false;
  std::string sample;                 // a message file to check command entries against
  std::vector<std::string> commands;  // the commands it is for (all when empty)
};

int runValidate(const ValidateOptions& options) {
  runtime::Model model;
  // Prepared as well: TLS files, payload bindings and will settings are checked there, and
  // nothing connects until tasks run.
  if (!configured([&] { loadModel(model, options.model, true); })) return kConfigurationError;
  // Worked out before anything is printed: an unreadable sample is an error, not a warning.
  std::vector<JsonLine> warnings;
  const bool linted = configured([&] {
    LintOptions lint;
    if (!options.sample.empty()) lint.sample = readSample(options.sample);
    lint.commands = options.commands;
    warnings = lintModel(model, model.text(), lint);
  });
  if (!linted) return kConfigurationError;

  for (const auto& point : model.dataPoints()) {
    JsonLine line;
    line.add("dataPoint", point->primaryKey())
        .add("uuid", point->uuid().toString())
        .add("type", data::dataTypeName(point->type()));
    if (point->readable()) {
      line.addValue("value", point->value());
    } else {
      line.addNull("value");
    }
    line.add("quality", point->quality());
    line.add("access", point->readable() ? (point->writable() ? "readWrite" : "readOnly") : "writeOnly");
    if (point->simulation) {
      static constexpr const char* kKinds[] = {"counter", "sine", "randomWalk"};
      line.addRaw("simulation",
                  JsonLine()
                      .add("kind", kKinds[static_cast<int>(point->simulation->kind)])
                      .add("period", std::chrono::duration<double>(point->simulation->period).count())
                      .text());
    }
    std::puts(line.text().c_str());
  }

  for (const auto& entry : model.elements()) {
    JsonLine line;
    line.add("element", entry.path)
        .add("name", entry.node->name())
        .add("skill", entry.skillName)
        .add("class", entry.className)
        .add("uuid", entry.node->uuid().toString());
    if (auto client = std::dynamic_pointer_cast<mqtt::Client>(entry.element)) {
      describeClient(line, *client);
    } else if (auto topic = std::dynamic_pointer_cast<mqtt::Topic>(entry.element)) {
      describeTopic(line, *topic);
    } else if (auto command = std::dynamic_pointer_cast<mqtt::Command>(entry.element)) {
      describeCommand(line, *command);
    }
    // Task cycles in seconds, by task role.
    JsonLine tasks;
    for (const auto& task : model.tasks()) {
      if (task->elementPath == entry.path) tasks.add(task->role.name, std::chrono::duration<double>(task->cycle).count());
    }
    line.addRaw("tasks", tasks.text());
    std::puts(line.text().c_str());
  }
  for (const auto& warning : warnings) std::puts(warning.text().c_str());
  std::fflush(stdout);
  return options.strict && !warnings.empty() ? kLintWarnings : 0;
}

}  // namespace

void setupValidate(CLI::App& app) {
  auto options = std::make_shared<ValidateOptions>();
  auto* command = app.add_subcommand("validate", "Check a model without connecting; print what it resolved to");
  addModelFileOptions(*command, options->model);
  command->add_flag("--strict", options->strict, "Exit with status 1 when there is any warning");
  auto* sample = command->add_option("--sample", options->sample,
                                     "A JSON message: check what each command entry's path selects in it against "
                                     "the type of the entry's data point (nothing is written)")
                     ->type_name("FILE");
  command->add_option("--command", options->commands, "Check only this command element against the sample (repeatable)")
      ->type_name("ELEMENT")
      ->needs(sample)
      ->allow_extra_args(false);
  command->footer(
      "Prints one JSON object per line: each data point, then each element with its class, UUID and\n"
      "resolved configuration, then one {\"warning\", \"element\", \"file\", \"line\", \"column\"} object per\n"
      "thing that loads but will not behave as expected (retained birth or will that the other does not\n"
      "replace, birth and will on different topics, a client key that does not match its certificate, a\n"
      "certificate that has expired or expires within 30 days, a CA file or directory without\n"
      "certificates, a client identifier shared on one broker, a template attribute a data point lacks,\n"
      "a user name or password without TLS or TLS without verification to a broker that is not on a\n"
      "loopback address, a client private key or a model file with a password that group or others may\n"
      "read, and with --sample a command entry that selects nothing or a value its data point cannot take).\n"
      "Exit status 0 (1 with --strict and a warning), or 2 with FILE:LINE:COLUMN: message on standard\n"
      "error.");
  runsWith(*command, [options] { return runValidate(*options); });
}

}  // namespace corvane::run
