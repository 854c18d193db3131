#pragma once
// The connection to one MQTT broker: configuration, the libmosquitto client and its network
// thread, the state record, and the publish/subscribe services its topics and commands use.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <mosquitto.h>

#include <corvane/memory.hpp>
#include <corvane/process.hpp>
#include <corvane/security.hpp>
#include <corvane/skill.hpp>
#include <corvane/time.hpp>
#include <corvane/utils/expected.hpp>

#include "errors/customError.hpp"
#include "payload/payload.hpp"
#include "client/addressLookup.hpp"
#include "client/wakeUp.hpp"
#include "command/commandPayload.hpp"
#include "ssl/handles.hpp"


namespace corvane::plugins::mqttClient {

class Topic;
class Client;
class Command;

enum class ConnectionState : std::uint32_t {
  Idle = 0,              // not connected, no attempt pending
  Connected = 1,         // the broker accepted the connection
  ConnectRequested = 2,  // wanted; the network thread has not started it yet
  Connecting = 3,        // connect issued, CONNACK not handled yet, or being torn down
};
std::string_view connectionStateName(ConnectionState state) noexcept;

// "3", "3.1.1", "5" for protocol levels 3, 4, 5.
std::string_view mqttVersionName(int level) noexcept;

struct MosquittoDestroy {
  void operator()(mosquitto* m) const noexcept;
};
using MosquittoHandle = std::unique_ptr<mosquitto, MosquittoDestroy>;

// A task that counts as one user of its client's connection while it is operational: it activates
// the client before operation and deactivates it after.
class ClientUserTask : public corvane::process::Task {
 public:
  explicit ClientUserTask(Client& client) : client_(client) {}
  unsigned stages() const override;
  int preparePreOperational() override;
  void finishPreOperational() override;
  int preparePostOperational() override;

 protected:
  Client& client() const noexcept { return client_; }

 private:
  Client& client_;
};

class Client final : public corvane::skill::Element, public corvane::skill::EnableSharedFromThis<Client> {
 public:
  struct TlsConfig {
    corvane::security::CertificatePaths clientCertificate;
    std::optional<std::filesystem::path> serverCertificate;
    std::optional<std::string> caCertificateDirectory;
    std::optional<std::string> caCertificateFile;
    bool skipVerification = false;
  };
  struct BirthMessage {
    std::string topic;
    Payload payload;
    int qos = 0;
    bool retained = false;
    std::vector<std::string> attributeNames = defaultAttributeNames();
  };
  struct WillMessage {
    std::string topic;
    std::string payload;
    int qos = 0;
    bool retained = false;
    bool abnormalDisconnectOnly = false;
  };
  // The state record: what the runtime reads as the client's attributes.
  struct Data {
    bool deviceState = false;
    TimeStamp connectionTime = kNever;
    std::error_code error = make_error_code(CustomError::NotConnected);
    TimeStamp birthMessageTime = kNever;
    bool operator==(const Data&) const = default;
  };
  // Earlier: sent on an earlier connection and still held by libmosquitto, which sends it again
  // on the next one; counted against the queue bound, not reported. Will: the will published on an
  // orderly disconnection under MQTT 3.1 and 3.1.1.
  enum class PublishKind : std::uint32_t { Topic = 0, Will = 1, Birth = 2, Earlier = 3 };
  struct PendingPublish {
    TimeStamp time;
    PublishKind kind = PublishKind::Topic;
    Topic* topic = nullptr;  // null for the birth message
    std::size_t bytes = 0;   // topic name and payload
    int qos = 0;
  };
  // What libmosquitto may hold for the client while the broker does not read: a publication that
  // would exceed either fails with "outgoing queue full".
  static constexpr std::size_t kMaxQueuedMessages = 10000;
  static constexpr std::size_t kMaxQueuedBytes = std::size_t{16} << 20;
  // Announced to an MQTT 5 broker as the largest packet the client takes: the largest message a
  // command takes, with room for the fixed header, the topic name (at most 65,535 bytes) and
  // the properties.
  static constexpr std::uint32_t kMaxIncomingPacketSize =
      static_cast<std::uint32_t>(CommandPayload::kMaxMessageSize) + 65536;

  // Asks again for a connection that was lost.
  class ReconnectTask final : public ClientUserTask {
   public:
    using ClientUserTask::ClientUserTask;
    void operational(const ExecutionContext& context) override;
  };

  Client();
  ~Client() override;

  // Element virtuals.
  std::shared_ptr<corvane::skill::Element> createChildElement(const corvane::skill::Element::Class& elementClass,
                                                              corvane::skill::ElementFactory& factory) override;
  bool forEachAttribute(const corvane::model::ForEachAttributeFunction& function) override;
  bool forEachEvent(const corvane::model::ForEachEventFunction& function) override;
  bool forEachTask(const corvane::model::ForEachTaskFunction& function) override;
  std::optional<corvane::data::ReadHandle> makeReadHandle(const corvane::model::Attribute& attribute) override;
  corvane::model::ElementCategory category() const noexcept override { return corvane::model::ElementCategory::kConnection; }
  void load(utils::json::decoder::Object object, corvane::config::Context& context) override;
  void realize() override;
  void prepare() override;
  void cleanup() override;

  // Services for topics and commands.
  utils::Expected<void> publish(TimeStamp time, Topic& topic, const void* payload, std::size_t length, int qos,
                                bool retain, const mosquitto_property* properties);
  std::error_code subscribe(Command& command);
  void unsubscribe(Command& command);
  void activate();
  void deactivate();
  ConnectionState connectionState() const;
  bool forEachSharedAttribute(const corvane::model::ForEachAttributeFunction& function);
  std::optional<corvane::data::ReadHandle> makeSharedReadHandle(const corvane::model::Attribute& attribute);

  // Settings, read-only after load.
  int mqttVersion() const noexcept { return mqttVersion_; }
  const std::string& brokerHost() const noexcept { return brokerHost_; }
  std::uint16_t brokerPort() const noexcept { return brokerPort_; }
  const std::optional<std::string>& username() const noexcept { return username_; }
  const std::optional<std::string>& password() const noexcept { return password_; }
  const std::string& clientId() const noexcept { return clientId_; }
  std::int32_t keepaliveInterval() const noexcept { return keepaliveInterval_; }
  const std::optional<TlsConfig>& tlsConfig() const noexcept { return tlsConfig_; }
  const std::optional<BirthMessage>& birthMessage() const noexcept { return birthMessage_; }
  const std::optional<WillMessage>& willMessage() const noexcept { return willMessage_; }
  const std::vector<Topic*>& topics() const noexcept { return topics_; }
  const std::vector<Command*>& commands() const noexcept { return commands_; }
  const std::vector<std::string>& birthTopics() const noexcept { return birthTopics_; }
  // The committed state record (a copy).
  Data data() const { return dataBlock_.read(); }
  // Tells this client's record commits apart from others' (the runner's event log and view).
  const void* recordIdentity() const noexcept { return dataBlock_.identity(); }
  // Builds the TLS context from the settings (called by prepare); public for the runner's probe.
  void createTlsContext();
  SSL_CTX* sslContext() const noexcept { return sslContext_.get(); }
  X509* pinnedCertificate() const noexcept { return pinnedCertificate_.get(); }

  // How long cleanup waits for the connection to end (tests shorten it).
  std::chrono::nanoseconds cleanupTimeout{std::chrono::seconds(5)};
  // How long an attempt may take, from the name lookup to the CONNACK (tests shorten it; the error
  // texts say 30 s).
  std::chrono::nanoseconds connectTimeout{std::chrono::seconds(30)};

 private:
  friend class ClientCallbacks;

  // Connection engine (network thread).
  using SteadyTime = std::chrono::steady_clock::time_point;
  void networkThread(std::stop_token stop);
  bool startAttempt(mosquitto* m, const std::stop_token& stop);
  bool leave(mosquitto* m);
  void giveUpAttempt(mosquitto* m);
  void recordAttemptFailure(std::error_code error);
  std::error_code closedUnanswered() const;
  std::optional<std::error_code> lookUpBroker(const std::stop_token& stop, std::string& address);
  void configureMosquitto(mosquitto* m);
  void forgetQueued();
  void setConnectionState(ConnectionState state, ConnectionState* old = nullptr);
  void updateState(TimeStamp time, bool connected, std::error_code error);
  void handleConnected();
  void handleDisconnected(int reason);
  void handlePublished(int messageId, int reasonCode, const mosquitto_property* properties);
  void handleConnect(int rc);
  void handleSubscribe(int messageId, int qosCount, const int* grantedQos);
  void handleMessage(const mosquitto_message* message, const mosquitto_property* properties);
  std::error_code poll(mosquitto* m, std::optional<SteadyTime> wakeAt);
  void abandonConnection(mosquitto* m);
  void notifyStateChanged();
  void keepUnconfirmedPublications();
  std::error_code publishMessage(PendingPublish pending, const std::string& topicName, const void* payload,
                                 std::size_t length, int qos, bool retain, const mosquitto_property* properties);
  void publishBirthMessage(TimeStamp time);
  void disable();
  std::string brokerAddressText() const;

  // Configuration.
  int mqttVersion_ = 5;
  std::string brokerHost_;
  std::uint16_t brokerPort_ = 1883;
  std::optional<std::string> username_;
  std::optional<std::string> password_;
  std::string clientId_;
  std::int32_t keepaliveInterval_ = 60;
  std::optional<TlsConfig> tlsConfig_;
  std::optional<BirthMessage> birthMessage_;
  std::optional<WillMessage> willMessage_;

  // Children, in configuration order (owned by the runtime).
  std::vector<Topic*> topics_;
  std::vector<Command*> commands_;
  std::unordered_multimap<std::string_view, Command*> topicIndex_;

  // Lock order: mosquittoMutex_ before publishMutex_ or subscriptionMutex_; stateMutex_ is never
  // held together with another of them, nor across a libmosquitto call.
  mutable std::mutex stateMutex_;       // guards connectionState_, enabled_
  std::condition_variable_any stateChanged_;
  ConnectionState connectionState_ = ConnectionState::Idle;
  bool enabled_ = false;
  std::atomic<std::uint64_t> activeCount_{0};
  std::mutex mosquittoMutex_;           // around every sending call made outside the poll
  std::atomic<bool> connecting_{false}; // the network thread wants or holds mosquittoMutex_ to connect
  std::mutex publishMutex_;             // guards pendingPublishes_, queuedBytes_, pendingBirthTopics_
  std::mutex subscriptionMutex_;        // guards pendingSubscriptions_
  std::map<int, PendingPublish> pendingPublishes_;
  std::size_t queuedBytes_ = 0;  // of pendingPublishes_
  std::unordered_set<std::string> pendingBirthTopics_;
  std::unordered_map<int, Command*> pendingSubscriptions_;
  std::vector<std::string> birthTopics_;
  std::optional<AddressLookup> lookup_;  // network thread only
  // The attempt in progress, network thread only.
  struct Attempt {
    SteadyTime deadline;
    bool answered = false;         // the broker answered its CONNECT
    bool endedUnanswered = false;  // it ended before an answer (the poll that saw it records why)
    bool handshaking = false;      // its TLS handshake is under way: the broker has no CONNECT yet
    bool failed = false;           // why it failed is recorded: later consequences of that stay out
    int socketError = 0;           // the first system error of a TLS handshake step
  } attempt_;
  // An orderly disconnection in progress, network thread only.
  struct Leaving {
    bool started = false;
    bool willPending = false;   // the will published for it waits for the broker's acknowledgement
    bool disconnected = false;  // DISCONNECT asked for
    SteadyTime deadline;        // how long the will's acknowledgement is waited for
  } leaving_;
  // A will went unacknowledged: libmosquitto must not send it again on the next connection, so
  // that one starts from an empty queue.
  bool dropQueued_ = false;

  corvane::process::Event connectedEvent_;
  corvane::process::Event disconnectedEvent_;
  corvane::process::Event birthEvent_;
  ReconnectTask reconnectTask_{*this};
  corvane::memory::MemoryBlock<corvane::memory::Object<Data>> dataBlock_;

  // Destroyed in reverse order: the thread first, then libmosquitto, then the TLS objects.
  ssl::X509Handle pinnedCertificate_;
  ssl::SslCtxHandle sslContext_;
  MosquittoHandle mosquitto_;
  std::optional<WakeUp> wakeUp_;
  std::jthread thread_;
};

}  // namespace corvane::plugins::mqttClient
