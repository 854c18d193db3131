#pragma once
// A command subscribes to one topic while its client is connected and writes every message it
// receives into data points.
#include <cstdint>
#include <functional>
#include <string>
#include <utility>

#include <mosquitto.h>

#include <corvane/memory.hpp>
#include <corvane/process.hpp>
#include <corvane/skill.hpp>
#include <corvane/time.hpp>

#include "command/commandPayload.hpp"
#include "errors/customError.hpp"

namespace corvane::plugins::mqttClient {

class Client;

class Command final : public corvane::skill::Element, public corvane::skill::EnableSharedFromThis<Command> {
 public:
  struct SubscribeData {
    TimeStamp time = kNever;
    bool subscribed = false;
    std::error_code error = make_error_code(CustomError::NotConnected);
    bool operator==(const SubscribeData&) const = default;
  };
  struct ReceiveData {
    TimeStamp time = kNever;
    std::int32_t qos = 0;
    bool retained = false;
    std::string errorSummary = "Not connected";
    bool operator==(const ReceiveData&) const = default;
  };

  explicit Command(Client& client);
  ~Command() override;

  bool forEachAttribute(const corvane::model::ForEachAttributeFunction& function) override;
  bool forEachEvent(const corvane::model::ForEachEventFunction& function) override;
  std::optional<corvane::data::ReadHandle> makeReadHandle(const corvane::model::Attribute& attribute) override;
  corvane::model::ElementCategory category() const noexcept override { return corvane::model::ElementCategory::kSkillElement; }
  void load(utils::json::decoder::Object object, corvane::config::Context& context) override;
  void realize() override;
  void prepare() override;

  // From the client's network thread.
  void subscribe();
  void handleSubscribeResult(TimeStamp time, int qosCount, const int* grantedQos);
  void unsubscribe();
  void handleMessage(TimeStamp time, const mosquitto_message* message, const mosquitto_property* properties);

  // Sees every message just before the command applies it (the runner's listen shows them). Set
  // before the client connects; runs on the network thread and must not throw.
  using MessageObserver = std::function<void(TimeStamp time, const mosquitto_message& message)>;
  void setMessageObserver(MessageObserver observer) { messageObserver_ = std::move(observer); }

  Client& client() const noexcept { return client_; }
  const std::string& topicName() const noexcept { return topic_; }
  const CommandPayload& payload() const noexcept { return payload_; }
  SubscribeData subscribeData() const { return subscribeBlock_.read(); }
  ReceiveData receiveData() const { return receiveBlock_.read(); }
  // Tell this command's record commits apart from others' (the runner's event log and view).
  const void* subscribeRecordIdentity() const noexcept { return subscribeBlock_.identity(); }
  const void* receiveRecordIdentity() const noexcept { return receiveBlock_.identity(); }
  const corvane::process::Event& receivedEvent() const noexcept { return received_; }
  const corvane::process::Event& subscriptionChangedEvent() const noexcept { return subscriptionChanged_; }

 private:
  void writeSubscription(TimeStamp time, bool subscribed, std::error_code error);

  Client& client_;
  CommandPayload payload_;
  std::string topic_;
  corvane::process::Event received_;
  corvane::process::Event subscriptionChanged_;
  corvane::memory::MemoryBlock<corvane::memory::Object<SubscribeData>> subscribeBlock_;
  corvane::memory::MemoryBlock<corvane::memory::Object<ReceiveData>> receiveBlock_;
  MessageObserver messageObserver_;
};

}  // namespace corvane::plugins::mqttClient
