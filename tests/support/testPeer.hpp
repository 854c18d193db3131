#pragma once

#include <mosquitto.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>


namespace corvane::testing {

inline constexpr std::chrono::milliseconds kPeerTimeout{5000};
// Pause between reconnection attempts after a lost connection.
inline constexpr std::chrono::milliseconds kReconnectDelay{500};

enum class MqttVersion { v31 = MQTT_PROTOCOL_V31, v311 = MQTT_PROTOCOL_V311, v5 = MQTT_PROTOCOL_V5 };

struct PeerOptions {
  int port = 0;
  MqttVersion version = MqttVersion::v5;
  std::string clientId{};  // empty: a unique "test-peer-<pid>-<n>"
  std::optional<std::string> username{};
  std::optional<std::string> password{};
  int keepAliveSeconds = 60;
  // After a lost connection the peer reconnects (every kReconnectDelay) and subscribes
  // again to everything it had subscribed to; false: it stays disconnected.
  bool reconnect = true;
};

struct ReceivedMessage {
  std::string topic{};
  std::string payload{};  // the bytes as received
  int qos = 0;
  bool retain = false;
  std::chrono::steady_clock::time_point receivedAt{};
};

struct ConnectResult {
  int error = MOSQ_ERR_SUCCESS;  // libmosquitto's result of the attempt (socket, TLS, timeout)
  int reasonCode = -1;           // CONNACK return code (3.1.1) or reason code (5); -1 without CONNACK
  bool accepted() const noexcept { return error == MOSQ_ERR_SUCCESS && reasonCode == 0; }
  std::string describe() const;  // for failure messages
};

// A plain libmosquitto client on its own network thread (mosquitto_loop), the other side of
// the client under test: it subscribes and records what arrives, and publishes what commands
// should see. Every wait is bounded; every method may be called from the test's thread while
// messages arrive. Not movable: libmosquitto's callbacks point at it.
class TestPeer {
 public:
  explicit TestPeer(PeerOptions options);
  ~TestPeer();
  TestPeer(const TestPeer&) = delete;
  TestPeer& operator=(const TestPeer&) = delete;

  // Connects and waits for the CONNACK. A refused or failed attempt leaves the peer disconnected
  // (no retries); connect() may be called again.
  ConnectResult connect(std::chrono::milliseconds timeout = kPeerTimeout);
  // Orderly DISCONNECT (MQTT 5 reason code as given; 4 asks the broker to send the will).
  void disconnect(int reasonCode = 0);
  bool connected() const;

  // Subscribes and waits for the SUBACK; returns its granted QoS / reason codes. Throws
  // std::runtime_error when libmosquitto refuses or no SUBACK arrives in time.
  std::vector<int> subscribe(const std::string& filter, int qos = 0, std::chrono::milliseconds timeout = kPeerTimeout);
  void unsubscribe(const std::string& filter, std::chrono::milliseconds timeout = kPeerTimeout);

  // Queues a publication and returns its message id; throws when libmosquitto refuses it.
  int publish(const std::string& topic, std::string_view payload, int qos = 0, bool retain = false,
              const mosquitto_property* properties = nullptr);
  // Publishes and waits until it is complete: sent for QoS 0, PUBACK / PUBCOMP otherwise. Returns
  // the broker's reason code (0 under 3.1.1, where a PUBACK has none; under MQTT 5 mosquitto answers
  // 16, no matching subscribers, when nobody subscribed); throws on timeout.
  int publishAndWait(const std::string& topic, std::string_view payload, int qos = 1, bool retain = false,
                     const mosquitto_property* properties = nullptr, std::chrono::milliseconds timeout = kPeerTimeout);
  // Reason code of a publication's completion, nothing when it did not complete in time.
  std::optional<int> waitForPublished(int messageId, std::chrono::milliseconds timeout = kPeerTimeout) const;

  // Everything received so far, in arrival order.
  std::vector<ReceivedMessage> messages() const;
  std::size_t messageCount() const;
  void clearMessages();
  // The first received message (earlier ones included) that satisfies the predicate. The predicate
  // runs under the peer's lock, so it must not call the peer.
  std::optional<ReceivedMessage> waitFor(const std::function<bool(const ReceivedMessage&)>& predicate,
                                         std::chrono::milliseconds timeout = kPeerTimeout) const;
  std::optional<ReceivedMessage> waitForTopic(const std::string& topic,
                                              std::chrono::milliseconds timeout = kPeerTimeout) const;
  // True once at least count messages have been received.
  bool waitForCount(std::size_t count, std::chrono::milliseconds timeout = kPeerTimeout) const;

  const std::string& clientId() const noexcept { return clientId_; }

 private:
  struct MosquittoDestroy {
    void operator()(mosquitto* client) const noexcept { mosquitto_destroy(client); }
  };

  static void onConnect(mosquitto* client, void* self, int reasonCode, int flags, const mosquitto_property* props);
  static void onDisconnect(mosquitto* client, void* self, int reasonCode, const mosquitto_property* props);
  static void onPublish(mosquitto* client, void* self, int messageId, int reasonCode, const mosquitto_property* props);
  static void onSubscribe(mosquitto* client, void* self, int messageId, int count, const int* granted,
                          const mosquitto_property* props);
  static void onUnsubscribe(mosquitto* client, void* self, int messageId, const mosquitto_property* props);
  static void onMessage(mosquitto* client, void* self, const mosquitto_message* message,
                        const mosquitto_property* props);

  template <typename Predicate>
  bool waitUntil(std::chrono::milliseconds timeout, Predicate predicate) const;
  void runNetwork();

  const PeerOptions options_;
  const std::string clientId_;
  std::unique_ptr<mosquitto, MosquittoDestroy> client_;
  std::thread network_;  // runNetwork(); only started and joined by the owner's thread

  // Written by libmosquitto's network thread, read by the test's thread. The lock is never held
  // across a libmosquitto call, so callbacks cannot deadlock against the owner.
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  bool connected_ = false;                      // guarded by mutex_
  bool stopRequested_ = false;                  // guarded by mutex_: disconnect() called or connection refused
  int connectionCount_ = 0;                     // guarded by mutex_
  std::optional<int> connack_;                  // guarded by mutex_: last CONNACK code of this attempt
  std::optional<int> disconnected_;             // guarded by mutex_: reason of the last loss in this attempt
  std::optional<int> loopEnded_;                // guarded by mutex_: last mosquitto_loop result once the thread ended
  std::vector<ReceivedMessage> messages_;       // guarded by mutex_
  std::map<int, int> published_;                // guarded by mutex_: message id -> reason code
  std::map<int, std::vector<int>> subscribed_;  // guarded by mutex_: message id -> SUBACK codes
  std::map<int, bool> unsubscribed_;            // guarded by mutex_
  std::vector<std::pair<std::string, int>> subscriptions_;  // guarded by mutex_: filters to renew on reconnection
  std::set<int> pendingRenewals_;                           // guarded by mutex_: renewal SUBACKs still due
};

}  // namespace corvane::testing
