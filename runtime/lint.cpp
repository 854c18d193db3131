#include "lint.hpp"

#include <mosquitto.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <set>
#include <stdexcept>

#include <corvane/utils/network.hpp>

#include "client/client.hpp"
#include "command/command.hpp"
#include "errors/mosquittoErrors.hpp"
#include "payload/components.hpp"
#include "topic/topic.hpp"
#include "topic/topicName.hpp"

namespace corvane::run {

namespace {

namespace mqtt = plugins::mqttClient;

// Birth and will announce one state on one topic; a retained one that the other does not replace
// tells late subscribers the opposite of the truth.
void lintBirthAndWill(const mqtt::Client& client, const std::string& path, const LintSource& source,
                      LintWarnings& warnings) {
  const auto& birth = client.birthMessage();
  const auto& will = client.willMessage();
  const Place config = source.config(path);
  const Place willKey = config.key({"will", "lastWill"});
  const Place birthKey = config.key({"birth"});
  if (will && will->retained && !(birth && birth->retained && birth->topic == will->topic)) {
    warnings.push_back({"the will on " + inQuotes(will->topic) +
                            " is retained, but no retained birth message on that topic replaces it: late "
                            "subscribers keep seeing the will while the client is connected",
                        path, willKey.key({"retained"}).location()});
  }
  if (birth && birth->retained && !(will && will->retained && will->topic == birth->topic)) {
    warnings.push_back({"the birth message on " + inQuotes(birth->topic) +
                            " is retained, but no retained will on that topic replaces it: late subscribers keep "
                            "seeing the birth message after the client has gone",
                        path, birthKey.key({"retained"}).location()});
  }
  if (birth && will && birth->topic != will->topic) {
    warnings.push_back({"the birth message and the will are on different topics (" + inQuotes(birth->topic) + ", " +
                            inQuotes(will->topic) +
                            "): neither replaces the other, so no one topic tells whether the client is online",
                        path, willKey.key({"topic"}).location()});
  }
}

// Loading leaves the characters of a topic name to the MQTT library, which refuses control
// characters and non-characters in every publication and subscription.
void lintTopicName(std::string_view topic, std::string_view what, std::string_view consequence, const std::string& path,
                   const Place& key, LintWarnings& warnings) {
  const auto refused = mqtt::findRefusedCharacter(topic);
  if (!refused) return;
  char codePoint[16];
  std::snprintf(codePoint, sizeof codePoint, "U+%04X", static_cast<unsigned>(refused->codePoint));
  warnings.push_back({std::string(what) + " " + inQuotes(topic) + " holds " + codePoint +
                          (refused->control ? ", a control character" : ", a non-character") +
                          ", which libmosquitto refuses: " + std::string(consequence) + " " +
                          data::describeError(mqtt::makeMosquittoError(MOSQ_ERR_MALFORMED_UTF8)),
                      path, key.location()});
}

bool sameHost(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

// A broker lets one connection per client identifier: the second to connect takes it over.
void lintClientId(const mqtt::Client& client, const std::string& path,
                  const std::vector<std::pair<std::string, const mqtt::Client*>>& earlier, const LintSource& source,
                  LintWarnings& warnings) {
  for (const auto& [otherPath, other] : earlier) {
    if (other->clientId() != client.clientId() || other->brokerPort() != client.brokerPort() ||
        !sameHost(other->brokerHost(), client.brokerHost())) {
      continue;
    }
    warnings.push_back({"client identifier " + inQuotes(client.clientId()) + " is also used by client " +
                            inQuotes(otherPath) + " on the same broker (" +
                            utils::network::Address::join(client.brokerHost(), client.brokerPort()) +
                            "): the broker drops one connection whenever the other connects",
                        path, source.config(path).key({"clientID", "clientId"}).location()});
    return;
  }
}

void collectDataPoints(const mqtt::Payload::Component& component, std::vector<std::shared_ptr<model::Element>>& points) {
  if (const auto* object = dynamic_cast<const mqtt::Payload::ObjectComponent*>(&component)) {
    for (const auto& entry : object->entries()) collectDataPoints(*entry.value, points);
  } else if (const auto* array = dynamic_cast<const mqtt::Payload::ArrayComponent*>(&component)) {
    for (const auto& element : array->elements()) collectDataPoints(*element, points);
  } else if (const auto* point = dynamic_cast<const mqtt::Payload::DataPointComponent*>(&component)) {
    auto element = point->dataPoint();
    if (element && std::find(points.begin(), points.end(), element) == points.end()) points.push_back(element);
  }
}

// A data point object of a template renders the extra attributes its point has and silently
// leaves out the others.
void lintExtraAttributes(const mqtt::Payload& payload, const std::vector<std::string>& attributeNames,
                         std::string_view owner, const std::string& path, const Place& block, LintWarnings& warnings) {
  const auto* root = payload.root();
  if (root == nullptr) return;
  std::vector<std::shared_ptr<model::Element>> points;
  collectDataPoints(*root, points);
  for (const auto& point : points) {
    // "value" and "quality" come first and every data point has them.
    for (std::size_t i = 2; i < attributeNames.size(); ++i) {
      const auto& name = attributeNames[i];
      if (!(point->attributeReadHandle(name) == data::ReadHandle::Error::kNoSuchAttribute)) continue;
      warnings.push_back({std::string(owner) + " names attribute " + inQuotes(name) + " in \"extraAttributes\", which data point " +
                              inQuotes(point->primaryKey()) + " does not have: its object in the payload leaves it out",
                          path, block.key({"extraAttributes"}).item(name).location()});
    }
  }
}

}  // namespace

std::vector<JsonLine> lintModel(const runtime::Model& model, std::string_view modelText, const LintOptions& options) {
  const LintSource source{std::string(modelText)};
  std::set<std::string, std::less<>> sampled(options.commands.begin(), options.commands.end());
  for (const auto& name : sampled) {
    auto element = model.skillElement(name);
    if (!std::dynamic_pointer_cast<mqtt::Command>(element)) {
      throw std::runtime_error("no command element " + inQuotes(name) + " in the model");
    }
  }

  LintWarnings warnings;
  std::vector<std::pair<std::string, const mqtt::Client*>> clients;
  for (const auto& entry : model.elements()) {
    const std::string& path = entry.path;
    if (auto client = std::dynamic_pointer_cast<mqtt::Client>(entry.element)) {
      lintBirthAndWill(*client, path, source, warnings);
      if (const auto& birth = client->birthMessage()) {
        lintTopicName(birth->topic, "the birth message's topic", "every birth message fails with", path,
                      source.config(path).key({"birth"}).key({"topic"}), warnings);
      }
      lintTls(*client, path, source, warnings);
      lintSecurity(*client, path, source, warnings);
      lintClientId(*client, path, clients, source, warnings);
      clients.emplace_back(path, client.get());
      if (const auto& birth = client->birthMessage()) {
        lintExtraAttributes(birth->payload, birth->attributeNames, "the birth message", path,
                            source.config(path).key({"birth"}), warnings);
      }
    } else if (auto topic = std::dynamic_pointer_cast<mqtt::Topic>(entry.element)) {
      lintTopicName(topic->topicName(), "topic name", "every publication fails with", path,
                    source.config(path).key({"topic", "name"}), warnings);
      lintExtraAttributes(topic->payload(), topic->attributeNames(), "the topic", path, source.config(path), warnings);
    } else if (auto command = std::dynamic_pointer_cast<mqtt::Command>(entry.element)) {
      lintTopicName(command->topicName(), "command topic", "every subscription fails with", path,
                    source.config(path).key({"topic"}), warnings);
      if (options.sample && (sampled.empty() || sampled.count(path) != 0)) {
        lintSample(*command, path, *options.sample, source, warnings);
      }
    }
  }

  lintModelFile(model, source, warnings);

  std::vector<JsonLine> lines;
  for (const auto& warning : warnings) {
    JsonLine line;
    line.add("warning", warning.text)
        .add("element", warning.element)
        .add("file", model.fileName())
        .add("line", static_cast<std::int64_t>(warning.location.line))
        .add("column", static_cast<std::int64_t>(warning.location.column));
    lines.push_back(std::move(line));
  }
  return lines;
}

}  // namespace corvane::run
