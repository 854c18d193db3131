#include "subcommands.hpp"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include <corvane/memory.hpp>
#include <corvane/utils/json.hpp>
#include <corvane/utils/network.hpp>
#include <corvane/utils/string.hpp>

#include "client/client.hpp"
#include "command/command.hpp"
#include "errors/mosquittoErrors.hpp"
#include "jsonLine.hpp"
#include "outputWriter.hpp"
#include "stopSignals.hpp"
#include "watchedModel.hpp"

namespace corvane::run {

namespace {

namespace decoder = utils::json::decoder;

constexpr std::string_view kAlphabet = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
constexpr std::size_t kRandomCharacters = 6;
// Client identifier limits: MQTT 3.1 allows 23 bytes, later versions what a string can hold.
constexpr std::size_t kMqtt31ClientIdLength = 23;
constexpr std::size_t kMqttStringLength = 65535;
// Payloads are shown up to this many bytes of text.
constexpr std::size_t kMaxPayloadText = 4096;
// The cycle of the listening clients' reconnect tasks: how soon a failed or lost connection is
// tried again.
constexpr int kRetrySeconds = 1;

// `text` as well-formed UTF-8 (a malformed byte becomes U+FFFD), at most `limit` bytes of it and
// never cut inside a character; `cut` tells whether something was left off.
std::string wellFormed(std::string_view text, std::size_t limit, bool& cut) {
  std::string out;
  out.reserve(std::min(text.size(), limit));
  cut = false;
  utils::string::Utf8Decoder decoder;
  auto append = [&](char32_t c) {
    if (cut) return;
    std::string character;
    utils::string::appendUtf8(character, c);
    if (out.size() + character.size() > limit) {
      cut = true;
      return;
    }
    out += character;
  };
  for (char byte : text) {
    decoder.put(static_cast<unsigned char>(byte), append);
    if (cut) return out;
  }
  decoder.finish(append);
  return out;
}

std::string wellFormed(std::string_view text) {
  bool cut = false;
  return wellFormed(text, text.size() * 3, cut);
}

// One command entry's part of a message line: what its path selected and what the data point
// would take from it. The write goes to a stand-in of the point, of its type, so the conversion is
// the point's own while the model's point keeps its value.
std::string entryJson(const mqtt::CommandPayload::DataPoint& entry, const mqtt::JsonValue* selected,
                      const std::string& failure) {
  // The model, which holds every target, outlives the listening.
  const auto target = entry.target();
  JsonLine line;
  line.add("dataPoint", target->primaryKey()).add("jsonPath", entry.pathText());
  if (selected == nullptr) return line.add("error", wellFormed(failure)).text();
  line.addRaw("selected", selected->toText());
  const auto point = std::dynamic_pointer_cast<runtime::DataPoint>(target);
  if (!point) return line.add("writeError", "a data point of another kind: no stand-in to write to").text();
  auto standIn = std::make_shared<runtime::DataPoint>(point->primaryKey(), point->uuid(), point->type());
  std::error_code result;
  try {
    result = entry.writeValue(standIn->attributeWriteHandle(model::Attribute::kValue), *selected);
  } catch (const std::exception& e) {
    return line.add("writeError", wellFormed(e.what())).text();
  }
  return (result ? line.addError("writeError", result) : line.addValue("wouldWrite", standIn->value())).text();
}

// The listening client identifier: the configured one with "-listen-" and six random characters,
// the configured part shortened (never inside a character) to fit the protocol's limit.
std::string listeningClientId(std::string_view configured, int mqttVersion) {
  std::random_device device;
  std::uniform_int_distribution<std::size_t> pick(0, kAlphabet.size() - 1);
  std::string suffix = "-listen-";
  for (std::size_t i = 0; i < kRandomCharacters; ++i) suffix += kAlphabet[pick(device)];
  const std::size_t limit = mqttVersion == MQTT_PROTOCOL_V31 ? kMqtt31ClientIdLength : kMqttStringLength;
  std::size_t keep = std::min(configured.size(), limit - suffix.size());
  // Back to the start of a character, so the identifier stays UTF-8.
  while (keep > 0 && keep < configured.size() && (static_cast<unsigned char>(configured[keep]) & 0xC0) == 0x80) --keep;
  return std::string(configured.substr(0, keep)) + suffix;
}

// The lines: messages on one descriptor, notes (connected, subscribed, failures) on another; each
// handed whole to a writer thread per descriptor, so that the network threads that make them never
// wait for a reader. A lines' reader that has gone ends the listening as SIGTERM does.
struct ListenOutput {
  OutputWriter lines{STDOUT_FILENO, droppedJsonLine, [] { ::kill(::getpid(), SIGTERM); }};
  OutputWriter notes{STDERR_FILENO, [](std::uint64_t count, TimeStamp since) {
                       return "corvane-run listen: " + std::to_string(count) + " notes lost since " +
                              formatTime(since) + ": standard error is not read\n";
                     }};
};

// One topic of a client's commands, and the listening command that subscribes to it once for all of
// them: a subscription of each would have the broker send a retained message once per command.
struct ListenedTopic {
  std::string name;
  std::vector<std::pair<std::string, const mqtt::Command*>> commands;  // path and command, model order
  std::shared_ptr<mqtt::Command> listening;
  bool subscribed = false;  // as last noted
  std::error_code error;
};

// A client of the model with commands, and the listening client that stands in for it: the same
// broker and settings, but an identifier of its own, no will and no birth message, so the real
// client is neither pushed off the broker nor announced.
struct ListenedClient {
  std::string path;
  std::string address;
  std::string clientId;
  std::vector<ListenedTopic> topics;
  std::shared_ptr<mqtt::Client> listening;
  bool connected = false;  // as last noted
  std::error_code error;
};

// A model of the listening clients: each client's configuration as the model file gives it, but
// its identifier, will and birth message; as children, one command per topic that writes nothing.
std::string listeningModel(std::string_view modelText, const std::vector<ListenedClient>& clients) {
  std::string text;
  decoder::Document document;
  for (auto member : document.read(modelText).asObject()) {
    if (member.name != "elements") {
      member.value.skip();
      continue;
    }
    for (auto element : member.value.asArray()) {
      std::string_view name, config = "{}";
      for (auto field : element.asObject()) {
        if (field.name == "name") {
          name = field.value.asString();
        } else if (field.name == "config") {
          config = field.value.rawJson();
        } else {
          field.value.skip();
        }
      }
      auto client = std::find_if(clients.begin(), clients.end(), [&](const auto& c) { return c.path == name; });
      if (client == clients.end()) continue;
      text += text.empty() ? R"({"elements":[)" : ",";
      text += R"({"skill":"MQTT","class":"Client","name":)" + jsonString(name) + R"(,"config":{"clientID":)" +
              jsonString(client->clientId);
      decoder::Document configDocument;
      for (auto setting : configDocument.read(config).asObject()) {
        const std::string_view key = setting.name;
        if (key == "clientID" || key == "clientId" || key == "birth" || key == "will" || key == "lastWill") {
          setting.value.skip();
        } else {
          text += ',' + jsonString(key) + ':' + std::string(setting.value.rawJson());
        }
      }
      text += R"(},"tasks":{"reconnect":)" + std::to_string(kRetrySeconds) + R"(},"children":[)";
      for (std::size_t i = 0; i < client->topics.size(); ++i) {
        text += R"({"class":"Command","name":"topic)" + std::to_string(i) + R"(","config":{"topic":)" +
                jsonString(client->topics[i].name) + R"(,"payload":[]}})" + (i + 1 < client->topics.size() ? "," : "");
      }
      text += "]}";
    }
  }
  return text + "]}";
}

// One message line per command on the message's topic: read exactly as the command reads it, but
// each entry's write goes to a stand-in.
void showMessage(ListenOutput& output, const ListenedClient& client, const ListenedTopic& topic, TimeStamp time,
                 const mosquitto_message& message) {
  const char* payload = static_cast<const char*>(message.payload);
  const auto length = message.payloadlen > 0 && payload != nullptr ? static_cast<std::size_t>(message.payloadlen) : 0;
  bool cut = false;
  const std::string payloadText = wellFormed(std::string_view(payload, length), kMaxPayloadText, cut);
  for (const auto& [path, command] : topic.commands) {
    JsonLine line;
    line.add("type", "message")
        .addTime("time", time)
        .add("client", client.path)
        .add("command", path)
        .add("topic", topic.name)
        .add("QoS", message.qos)
        .add("retained", message.retain)
        .add("payload", payloadText)
        .add("payloadBytes", static_cast<std::uint64_t>(length));
    if (cut) line.add("payloadTruncated", true);
    std::string entries = "[";
    try {
      command->payload().select(payload, length,
                                [&entries](const mqtt::CommandPayload::DataPoint& entry, const mqtt::JsonValue* selected,
                                           const std::string& failure) {
                                  if (entries.size() > 1) entries += ',';
                                  entries += entryJson(entry, selected, failure);
                                });
    } catch (const std::exception& e) {
      // Not one JSON document: the command would write nothing and record this text.
      line.add("error", wellFormed(e.what()));
      entries = "[";
    }
    line.addRaw("entries", entries + ']');
    output.lines.write(line.text() + '\n');
  }
}

// The notes that a listening client's records call for since the last ones: connected, a failure
// whose code changed, a lost connection, a subscription granted or refused.
void noteChanges(ListenOutput& output, ListenedClient& client) {
  auto note = [&](const std::string& text) { output.notes.write("client " + jsonString(client.path) + ": " + text + '\n'); };
  const auto notConnected = make_error_code(mqtt::CustomError::NotConnected);
  const auto record = client.listening->data();
  if (record.deviceState != client.connected) {
    note(record.deviceState ? "connected to " + client.address + " as " + jsonString(client.clientId)
                            : "connection lost: " + data::describeError(record.error) + "; reconnecting");
  } else if (!record.deviceState && record.error != client.error && record.error != notConnected) {
    note("cannot connect to " + client.address + ": " + data::describeError(record.error) + "; retrying every " +
         std::to_string(kRetrySeconds) + " s");
  }
  client.connected = record.deviceState;
  client.error = record.error;
  for (auto& topic : client.topics) {
    const auto subscription = topic.listening->subscribeData();
    if (subscription.subscribed == topic.subscribed && subscription.error == topic.error) continue;
    topic.subscribed = subscription.subscribed;
    topic.error = subscription.error;
    if (subscription.subscribed) {
      note("subscribed to " + jsonString(topic.name));
    } else if (subscription.error.category() == mqtt::reasonCodeErrorCategory()) {
      note("subscription to " + jsonString(topic.name) + " refused: " + data::describeError(subscription.error));
    } else if (subscription.error != notConnected) {
      note("cannot subscribe to " + jsonString(topic.name) + ": " + data::describeError(subscription.error));
    }
  }
}

struct ListenOptions {
  ModelFileOptions model;
  std::optional<double> durationSeconds;
};

int runListen(const ListenOptions& options) {
  blockStopSignals();

  // Declared before the models, so that it outlives them.
  ListenOutput output;
  runtime::Model model;
  // Prepared as for a run: a command's write handles are bound, a client's TLS files read.
  if (!configured([&] { loadModel(model, options.model, true); })) return kConfigurationError;

  std::vector<ListenedClient> clients;
  for (const auto& entry : model.elements()) {
    if (auto client = std::dynamic_pointer_cast<mqtt::Client>(entry.element)) {
      auto& listened = clients.emplace_back();
      listened.path = entry.path;
      listened.address = utils::network::Address::join(client->brokerHost(), client->brokerPort());
      listened.clientId = listeningClientId(client->clientId(), client->mqttVersion());
    } else if (auto command = std::dynamic_pointer_cast<mqtt::Command>(entry.element)) {
      // A command's client comes before it and its other children.
      auto& topics = clients.back().topics;
      auto topic = std::find_if(topics.begin(), topics.end(), [&](const auto& t) { return t.name == command->topicName(); });
      if (topic == topics.end()) {
        topics.emplace_back().name = command->topicName();
        topic = topics.end() - 1;
      }
      topic->commands.emplace_back(entry.path, command.get());
    }
  }
  std::erase_if(clients, [](const ListenedClient& c) { return c.topics.empty(); });
  if (clients.empty()) {
    std::fprintf(stderr, "%s: the model has no Command elements: nothing to listen to\n", options.model.file.c_str());
    std::fflush(stderr);
    return kConfigurationError;
  }

  // Nothing here writes a data point; a change would be a fault, shown as `run` shows changes.
  for (const auto& point : model.dataPoints()) {
    point->setChangeListener([&output](const runtime::DataPoint& p) { output.lines.write(dataPointLine(p, now()).text() + '\n'); });
  }

  // Declared before the listening model, which may still commit records while it is destroyed.
  std::mutex notesMutex;
  bool stopping = false;
  struct CommitObserverReset {
    ~CommitObserverReset() { memory::setCommitObserver({}); }
  } commitObserverReset;
  runtime::Model listening;
  const bool listenable = configured([&] {
    const std::filesystem::path file(options.model.file);
    listening.loadText(listeningModel(model.text(), clients), file.has_parent_path() ? file.parent_path() : ".",
                       options.model.file);
    listening.realizeAndPrepare();
  });
  if (!listenable) return kConfigurationError;
  for (auto& client : clients) {
    client.listening = std::dynamic_pointer_cast<mqtt::Client>(listening.skillElement(client.path));
    for (std::size_t i = 0; i < client.topics.size(); ++i) {
      auto& topic = client.topics[i];
      topic.listening =
          std::dynamic_pointer_cast<mqtt::Command>(listening.skillElement(client.path + "/topic" + std::to_string(i)));
      topic.listening->setMessageObserver([&output, &client, &topic](TimeStamp time, const mosquitto_message& message) {
        try {
          showMessage(output, client, topic, time, message);
        } catch (...) {
        }
      });
    }
  }
  // The notes follow every record that the listening clients and commands commit.
  memory::setCommitObserver([&](const void*, TimeStamp) {
    std::lock_guard lock(notesMutex);
    if (!stopping) {
      for (auto& client : clients) noteChanges(output, client);
    }
  });
  listening.start(1);
  waitForStop(options.durationSeconds);
  {
    std::lock_guard lock(notesMutex);
    stopping = true;
  }
  listening.stop();      // the clients disconnect
  listening.shutdown();  // and their network threads end
  output.lines.finish();
  return lostOutputStatus(output.lines, "listen");
}

}  // namespace

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
      "standard error. Exit status 0 at SIGINT/SIGTERM or the end of --duration (1 when writing standard\n"
      "output failed and lost lines); 2 for a model error or a model without commands.");
  runsWith(*command, [options] { return runListen(*options); });
}

}  // namespace corvane::run
