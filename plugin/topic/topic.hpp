#pragma once
// A topic publishes one message to one MQTT topic name each time its publish task runs.
#include <string>
#include <vector>

#include <mosquitto.h>

#include <corvane/memory.hpp>
#include <corvane/process.hpp>
#include <corvane/skill.hpp>
#include <corvane/time.hpp>
#include <corvane/utils/expected.hpp>

#include "client/client.hpp"
#include "errors/customError.hpp"
#include "payload/payload.hpp"

namespace corvane::plugins::mqttClient {


class Topic final : public corvane::skill::Element, public corvane::skill::EnableSharedFromThis<Topic> {
 public:
  // The state record: outcome of publishing.
  struct Data {
    TimeStamp publishTime = kNever;
    bool state = false;
    std::error_code error = make_error_code(CustomError::NotConnected);
    bool operator==(const Data&) const = default;
  };

  // Publishes once per run.
  class PublishTask final : public ClientUserTask {
   public:
    explicit PublishTask(Topic& topic);
    void operational(const ExecutionContext& context) override;

   private:
    Topic& topic_;
  };

  explicit Topic(Client& client);
  ~Topic() override;

  bool forEachAttribute(const corvane::model::ForEachAttributeFunction& function) override;
  bool forEachEvent(const corvane::model::ForEachEventFunction& function) override;
  bool forEachTask(const corvane::model::ForEachTaskFunction& function) override;
  std::optional<corvane::data::ReadHandle> makeReadHandle(const corvane::model::Attribute& attribute) override;
  const corvane::model::Attribute* resolveAttributeByName(std::string_view name) override;
  corvane::model::ElementCategory category() const noexcept override { return corvane::model::ElementCategory::kSkillElement; }
  void load(utils::json::decoder::Object object, corvane::config::Context& context) override;
  void realize() override;
  void prepare() override;

  // One run of the publish task.
  void publish(TimeStamp time);
  // From the client's network thread.
  void handlePublished(TimeStamp time, int reasonCode, const mosquitto_property* properties);
  // `state` holds no error for "connected", else the error that keeps the client disconnected.
  void handleClientState(TimeStamp time, const utils::Expected<void>& state);

  Client& client() const noexcept { return client_; }
  const std::string& topicName() const noexcept { return topicName_; }
  int qos() const noexcept { return qos_; }
  bool retained() const noexcept { return retained_; }
  bool requireForBirth() const noexcept { return requireForBirth_; }
  const std::vector<std::string>& attributeNames() const noexcept { return attributeNames_; }
  const Payload& payload() const noexcept { return payload_; }
  Data data() const { return dataBlock_.read(); }
  // Tells this topic's record commits apart from others' (the runner's delivery ledger).
  const void* recordIdentity() const noexcept { return dataBlock_.identity(); }
  const corvane::process::Event& publishedEvent() const noexcept { return published_; }

 private:
  Client& client_;
  Payload payload_;
  std::string topicName_;
  int qos_ = 0;
  bool retained_ = false;
  bool requireForBirth_ = false;
  std::vector<std::string> attributeNames_ = defaultAttributeNames();
  corvane::process::Event published_;
  PublishTask publishTask_{*this};
  corvane::memory::MemoryBlock<corvane::memory::Object<Data>> dataBlock_;
};

}  // namespace corvane::plugins::mqttClient
