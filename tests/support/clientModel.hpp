#pragma once
// Fixtures for tests of the skill's elements: a client model built by the runtime core, the events
// an element raises, and stand-ins for model elements and read sources. Needs the skill and the
// host linked in.
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <corvane/config.hpp>
#include <corvane/data.hpp>
#include <corvane/runtime.hpp>

#include "client/client.hpp"
#include "testPeer.hpp"
#include "waiting.hpp"

namespace corvane::testing {

using plugins::mqttClient::Client;
using plugins::mqttClient::ConnectionState;

// {"brokerAddress": "HOST:PORT", "clientID": ID, MEMBERS}
inline std::string clientConfig(int port, std::string_view clientId, std::string_view members = {},
                                std::string_view host = "127.0.0.1") {
  std::string text = R"({"brokerAddress": ")" + std::string(host) + ":" + std::to_string(port) + R"(", "clientID": ")";
  text.append(clientId).append("\"");
  if (!members.empty()) text.append(", ").append(members);
  return text + "}";
}

inline std::string describe(std::error_code error) { return data::describeError(error); }

// A client "broker" with its children and the data points they read, loaded by the runtime core
// from "m.json", where the client's configuration starts on line 2, column 1. Not yet prepared.
class ClientModel {
 public:
  explicit ClientModel(std::string_view config, std::string_view children = {}, std::string_view dataPoints = {},
                       const std::filesystem::path& baseDirectory = ".") {
    model.loadText(text(config, children, dataPoints), baseDirectory, "m.json");
  }
  // The runtime's order: the tasks stop (if started), every element is cleaned up and destroyed.
  ~ClientModel() {
    model.stop();
    model.shutdown();
  }
  ClientModel(const ClientModel&) = delete;
  ClientModel& operator=(const ClientModel&) = delete;

  static std::string text(std::string_view config, std::string_view children = {}, std::string_view dataPoints = {}) {
    return R"({"dataPoints": [)" + std::string(dataPoints) +
           R"(], "elements": [{"skill": "MQTT", "class": "Client", "name": "broker", "config":)" + "\n" +
           std::string(config) + "\n, \"children\": [" + std::string(children) + "]}]}";
  }

  ClientModel& prepare() {
    model.realizeAndPrepare();
    return *this;
  }
  Client& client() const { return dynamic_cast<Client&>(*model.skillElement("broker")); }
  // A child by its name below the client.
  template <class T>
  T& child(std::string_view name) const {
    return dynamic_cast<T&>(*model.skillElement("broker/" + std::string(name)));
  }
  // Activates the client and waits for its connection.
  bool connect() {
    client().activate();
    return eventually([&] { return client().data().deviceState; });
  }
  bool idle() const { return client().connectionState() == ConnectionState::Idle; }
  bool waitForIdle() const { return eventually([&] { return idle(); }); }
  void reconnect() { model.runTaskOnce("broker", "reconnect"); }

  runtime::Model model;
};

// The events an element raises, by role name, as the runtime's listeners see them. The listeners
// share the record, so events raised after the recorder is gone (the element's shut-down) harm
// nothing.
class EventRecorder {
 public:
  explicit EventRecorder(skill::Element& element) {
    element.forEachEvent([this](const process::Event::Role& role, const std::shared_ptr<process::Event>& event) {
      event->addListener([record = record_, name = std::string(role.name)](const process::Event&, TimeStamp time) {
        std::lock_guard lock(record->mutex);
        record->entries.emplace_back(name, time);
      });
      return false;
    });
  }
  // Role names in the order they were raised.
  std::vector<std::string> roles() const {
    std::lock_guard lock(record_->mutex);
    std::vector<std::string> names;
    for (const auto& entry : record_->entries) names.push_back(entry.first);
    return names;
  }
  std::vector<TimeStamp> times(std::string_view role) const {
    std::lock_guard lock(record_->mutex);
    std::vector<TimeStamp> times;
    for (const auto& entry : record_->entries) {
      if (entry.first == role) times.push_back(entry.second);
    }
    return times;
  }
  std::size_t count(std::string_view role) const { return times(role).size(); }
  // True once `role` has been raised at least `count` times.
  bool waitFor(std::string_view role, std::size_t count = 1) const {
    return eventually([&] { return this->count(role) >= count; });
  }

 private:
  struct Record {
    std::mutex mutex;
    std::vector<std::pair<std::string, TimeStamp>> entries;
  };
  std::shared_ptr<Record> record_ = std::make_shared<Record>();
};

// Every attribute the element lists, in order, as "name:type=value" with the value as the runtime
// shows it ("-" without a read handle, "?" when the read fails).
inline std::string attributeTexts(skill::Element& element) {
  std::string text;
  element.forEachAttribute([&](const model::Attribute& attribute) {
    std::string shown = "-";
    if (auto handle = element.makeReadHandle(attribute)) {
      auto value = handle->read();
      shown = value ? data::toText(*value) : "?";
    }
    text += (text.empty() ? "" : " ") + std::string(attribute.name) + ":" +
            std::string(data::dataTypeName(attribute.type)) + "=" + shown;
    return false;
  });
  return text;
}

// The topics `peer` received, in order, up to a marker it publishes to `marker` itself; then it
// forgets them. What another client sent is sure to be among them only once it was waited for.
inline std::vector<std::string> receivedTopics(TestPeer& peer, const std::string& marker) {
  peer.publish(marker, "");
  std::vector<std::string> topics;
  if (!peer.waitForTopic(marker)) return {"(no marker)"};
  for (const auto& message : peer.messages()) topics.push_back(message.topic);
  peer.clearMessages();
  return topics;
}

// A read handle on one value of a chosen native type, or on a read that fails with `error`.
inline data::ReadHandle fakeReadHandle(data::NativeType type, data::Value value, std::error_code error = {}) {
  struct Source final : data::ReadSource {
    Source(data::NativeType type, data::Value value, std::error_code error)
        : type(type), value(std::move(value)), error(error) {}
    data::NativeType nativeType() const noexcept override { return type; }
    std::error_code read(data::Value& out) const override {
      if (!error) out = value;
      return error;
    }
    data::NativeType type;
    data::Value value;
    std::error_code error;
  };
  return data::ReadHandle(std::make_shared<Source>(type, std::move(value), error));
}

// A model element with the read handles a test gives it; names it does not list have no attribute.
// With `writes` set, its value takes writes through a handle that counts them there and does not
// keep the element alive, as a host may hand out.
class FakeElement final : public model::Element {
 public:
  FakeElement(const std::string& path, model::ElementCategory category)
      : model::Element(path, path, {}), category_(category) {}
  model::ElementCategory category() const noexcept override { return category_; }
  data::ReadHandle attributeReadHandle(std::string_view name) const override {
    auto it = handles.find(name);
    return it == handles.end() ? data::ReadHandle(data::ReadHandle::Error::kNoSuchAttribute) : it->second;
  }
  data::WriteHandle attributeWriteHandle(const model::Attribute& attribute) override {
    struct Sink final : data::WriteSink {
      explicit Sink(std::shared_ptr<int> count) : count(std::move(count)) {}
      std::error_code write(const data::Value&) override {
        ++*count;
        return {};
      }
      std::error_code writeComposite(bool, const data::Composite&) override { return write(data::Value()); }
      std::shared_ptr<int> count;
    };
    if (!writes) return model::Element::attributeWriteHandle(attribute);
    return data::WriteHandle(std::make_shared<Sink>(writes));
  }

  std::map<std::string, data::ReadHandle, std::less<>> handles;
  std::shared_ptr<int> writes;

 private:
  model::ElementCategory category_;
};

// What configuration references find: data points of the runtime and stand-ins, by path. Removing
// one lets go of it; it vanishes once nobody else holds it.
class FakeModel final : public config::Resolver {
 public:
  std::shared_ptr<runtime::DataPoint> addPoint(const std::string& path, data::DataType type) {
    return add(std::make_shared<runtime::DataPoint>(path, utils::core::Uuid{}, type));
  }
  std::shared_ptr<FakeElement> addFake(const std::string& path,
                                       model::ElementCategory category = model::ElementCategory::kDataPoint) {
    return add(std::make_shared<FakeElement>(path, category));
  }
  template <class T>
  std::shared_ptr<T> add(std::shared_ptr<T> element) {
    elements[element->primaryKey()] = element;
    return element;
  }
  void remove(std::string_view path) { elements.erase(elements.find(path)); }
  std::shared_ptr<model::Element> findElement(std::string_view path) const override {
    auto it = elements.find(path);
    return it == elements.end() ? nullptr : it->second;
  }

  std::map<std::string, std::shared_ptr<model::Element>, std::less<>> elements;
};

}  // namespace corvane::testing
