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
#include <vector>


namespace corvane::testing {

inline constexpr std::chrono::milliseconds kPeerTimeout{5000};

enum class MqttVersion { v31 = MQTT_PROTOCOL_V31, v311 = MQTT_PROTOCOL_V311, v5 = MQTT_PROTOCOL_V5 };

struct PeerOptions {
  int port = 0;
  MqttVersion version = MqttVersion::v5;
  std::string clientId{};  // empty: a unique "test-peer-<pid>-<n>"
  // After a lost connection the peer reconnects (every half second) and subscribes
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

  // Connects and waits for the CONNACK and the renewal of earlier subscriptions. A refused or failed attempt leaves the peer disconnected
  // (no retries); connect() may be called again.
  ConnectResult connect(std::chrono::milliseconds timeout = kPeerTimeout);
  // Orderly DISCONNECT (MQTT 5 reason code as given; 4 asks the broker to send the will).
  void disconnect(int reasonCode = 0);
  // And subscribed again to everything it had subscribed to.
  bool connected() const { return locked([&] { return connected_; }); }

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

  // Everything received so far, in arrival order.
  std::vector<ReceivedMessage> messages() const { return locked([&] { return messages_; }); }
  std::size_t messageCount() const { return locked([&] { return messages_.size(); }); }
  void clearMessages() { locked([&] { messages_.clear(); }); }
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

  // Runs `change` on the peer under its lock from libmosquitto's network thread and wakes the
  // waiters; nothing unwinds into C.
  template <typename Change>
  static void update(void* self, Change change) noexcept;
  template <typename Action>
  auto locked(Action action) const -> decltype(action()) {
    std::lock_guard lock(mutex_);
    return action();
  }
  template <typename Predicate>
  bool waitUntil(std::chrono::milliseconds timeout, Predicate predicate) const;
  // The codes of the acknowledgement of a message id (SUBACK, PUBACK...); throws `failure` when
  // none arrives in time.
  std::vector<int> awaitAck(int messageId, std::chrono::milliseconds timeout, const std::string& failure) const;
  void onConnect(int reasonCode);
  void runNetwork();

  const PeerOptions options_;
  const std::string clientId_;
  std::unique_ptr<mosquitto, MosquittoDestroy> client_;
  std::thread network_;  // runNetwork(); only started and joined by the owner's thread

  // Written by libmosquitto's network thread, read by the test's thread. The lock is never held
  // across a libmosquitto call, so callbacks cannot deadlock against the owner.
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  bool connected_ = false;                // guarded by mutex_: CONNACK accepted, subscriptions renewed
  bool stopRequested_ = false;            // guarded by mutex_: disconnect() called or connection refused
  std::optional<int> connack_;            // guarded by mutex_: last CONNACK code of this attempt
  std::optional<int> disconnected_;       // guarded by mutex_: reason of the last loss in this attempt
  std::optional<int> loopEnded_;          // guarded by mutex_: last mosquitto_loop result once the thread ended
  std::vector<ReceivedMessage> messages_;  // guarded by mutex_
  // Guarded by mutex_: acknowledgements by message id (libmosquitto numbers every kind of packet
  // from one counter), the filters to renew on reconnection, and the renewals' SUBACKs still due.
  std::map<int, std::vector<int>> acks_;
  std::map<std::string, int> subscriptions_;
  std::set<int> pendingRenewals_;
};

}  // namespace corvane::testing
