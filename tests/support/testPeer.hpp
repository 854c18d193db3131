#pragma once

#include <mosquitto.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace corvane::testing {

inline constexpr std::chrono::milliseconds kPeerTimeout{5000};

struct PeerOptions {
  int port = 0;
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
  int error = MOSQ_ERR_SUCCESS;  // libmosquitto's result of the attempt (socket, timeout)
  int reasonCode = -1;           // CONNACK reason code; -1 without CONNACK
  bool accepted() const noexcept { return error == MOSQ_ERR_SUCCESS && reasonCode == 0; }
};

// A plain MQTT 5 libmosquitto client on its own network thread (mosquitto_loop), the other side of
// the client under test: it subscribes and records what arrives, and publishes what commands
// should see. Every wait is bounded; every method may be called from the test's thread while
// messages arrive. Not movable: libmosquitto's callbacks point at it.
class TestPeer {
 public:
  explicit TestPeer(PeerOptions options) : options_(std::move(options)) {
    static std::atomic<int> counter{0};
    const std::string clientId = options_.clientId.empty()
                               ? "test-peer-" + std::to_string(::getpid()) + "-" + std::to_string(++counter)
                               : options_.clientId;
    // libmosquitto counts initialisations; the test binary keeps it initialised until it ends.
    [[maybe_unused]] static const int initialised = mosquitto_lib_init();
    client_.reset(mosquitto_new(clientId.c_str(), true, this));
    if (!client_) throw std::runtime_error("mosquitto_new failed");
    mosquitto* client = client_.get();
    check(mosquitto_int_option(client, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5), "protocol version");
    check(mosquitto_threaded_set(client, true), "mosquitto_threaded_set");
    // The callbacks run on the network thread.
    mosquitto_connect_v5_callback_set(client, [](mosquitto*, void* self, int code, int, const mosquitto_property*) {
      static_cast<TestPeer*>(self)->onConnect(code);
    });
    mosquitto_disconnect_v5_callback_set(client, [](mosquitto*, void* self, int code, const mosquitto_property*) {
      update(self, [&](TestPeer& p) { p.connected_ = false, p.disconnected_ = code, p.pendingRenewals_.clear(); });
    });
    mosquitto_publish_v5_callback_set(client, [](mosquitto*, void* self, int id, int code, const mosquitto_property*) {
      update(self, [&](TestPeer& peer) { peer.acks_[id] = {code}; });
    });
    mosquitto_subscribe_v5_callback_set(
        client, [](mosquitto*, void* self, int id, int count, const int* granted, const mosquitto_property*) {
          update(self, [&](TestPeer& peer) {
            peer.acks_[id].assign(granted, granted + count);
            if (peer.pendingRenewals_.erase(id) != 0 && peer.pendingRenewals_.empty()) peer.connected_ = true;
          });
        });
    mosquitto_message_v5_callback_set(
        client, [](mosquitto*, void* self, const mosquitto_message* message, const mosquitto_property*) {
          update(self, [&](TestPeer& peer) {
            peer.messages_.push_back({message->topic,
                                      std::string(static_cast<const char*>(message->payload),
                                                  static_cast<std::size_t>(message->payloadlen)),
                                      message->qos, message->retain, std::chrono::steady_clock::now()});
          });
        });
  }
  ~TestPeer() {
    if (network_.joinable()) disconnect();
  }
  TestPeer(const TestPeer&) = delete;
  TestPeer& operator=(const TestPeer&) = delete;

  // Connects and waits for the CONNACK and the renewal of earlier subscriptions. A refused or failed
  // attempt leaves the peer disconnected (no retries); connect() may be called again.
  ConnectResult connect(std::chrono::milliseconds timeout = kPeerTimeout) {
    if (network_.joinable()) disconnect();
    update(this, [&](TestPeer&) {
      stopRequested_ = loopEnded_ = false;
      connack_.reset();
      disconnected_.reset();
    });
    const int result = mosquitto_connect_bind_v5(client_.get(), "127.0.0.1", options_.port, 60, nullptr, nullptr);
    if (result != MOSQ_ERR_SUCCESS) return {result, -1};
    network_ = std::thread([this] { runNetwork(); });
    const auto decided = [&] { return connected_ || connack_.value_or(0) != 0 || disconnected_ || loopEnded_; };
    if (waitUntil(timeout, decided) && locked([&] { return connected_; })) return {MOSQ_ERR_SUCCESS, 0};
    disconnect();  // no retries behind the caller's back
    return locked([&]() -> ConnectResult {
      if (connack_ && *connack_ != 0) return {MOSQ_ERR_SUCCESS, *connack_};
      return {disconnected_.value_or(0) != 0 ? *disconnected_ : MOSQ_ERR_TIMEOUT, -1};
    });
  }
  // Orderly DISCONNECT (MQTT 5 reason code as given; 4 asks the broker to send the will).
  void disconnect(int reasonCode = 0) {
    mosquitto_disconnect_v5(client_.get(), reasonCode, nullptr);
    update(this, [&](TestPeer&) { stopRequested_ = true; });
    if (network_.joinable()) network_.join();
    update(this, [&](TestPeer&) { connected_ = false; });
  }

  // Subscribes and waits for the SUBACK; returns its granted QoS / reason codes. Throws
  // std::runtime_error when libmosquitto refuses or no SUBACK arrives in time.
  std::vector<int> subscribe(const std::string& filter, int qos = 0, std::chrono::milliseconds timeout = kPeerTimeout) {
    update(this, [&](TestPeer&) { subscriptions_[filter] = qos; });
    int id = 0;
    check(mosquitto_subscribe_v5(client_.get(), &id, filter.c_str(), qos, 0, nullptr), "subscribe to " + filter);
    return awaitAck(id, timeout, "no SUBACK for " + filter);
  }

  // Queues a publication and returns its message id; throws when libmosquitto refuses it.
  int publish(const std::string& topic, std::string_view payload, int qos = 0, bool retain = false,
              const mosquitto_property* properties = nullptr) {
    int id = 0;
    check(mosquitto_publish_v5(client_.get(), &id, topic.c_str(), static_cast<int>(payload.size()), payload.data(),
                               qos, retain, properties),
          "publish to " + topic);
    return id;
  }
  // Publishes and waits until it is complete: sent for QoS 0, PUBACK / PUBCOMP otherwise. Returns
  // the broker's reason code (mosquitto answers 16, no matching subscribers, when nobody
  // subscribed); throws on timeout.
  int publishAndWait(const std::string& topic, std::string_view payload, int qos = 1, bool retain = false,
                     const mosquitto_property* properties = nullptr, std::chrono::milliseconds timeout = kPeerTimeout) {
    const int id = publish(topic, payload, qos, retain, properties);
    return awaitAck(id, timeout, "publication to " + topic + " not completed").front();
  }

  // Everything received so far, in arrival order.
  std::vector<ReceivedMessage> messages() const { return locked([&] { return messages_; }); }
  std::size_t messageCount() const { return locked([&] { return messages_.size(); }); }
  void clearMessages() { locked([&] { messages_.clear(); }); }
  // The first received message (earlier ones included) that satisfies the predicate. The predicate
  // runs under the peer's lock, so it must not call the peer.
  std::optional<ReceivedMessage> waitFor(const std::function<bool(const ReceivedMessage&)>& predicate,
                                         std::chrono::milliseconds timeout = kPeerTimeout) const {
    std::optional<ReceivedMessage> found;
    waitUntil(timeout, [&] {
      auto match = std::find_if(messages_.begin(), messages_.end(), predicate);
      if (match != messages_.end()) found = *match;
      return found.has_value();
    });
    return found;
  }
  std::optional<ReceivedMessage> waitForTopic(const std::string& topic,
                                              std::chrono::milliseconds timeout = kPeerTimeout) const {
    return waitFor([&](const ReceivedMessage& message) { return message.topic == topic; }, timeout);
  }
  // True once at least count messages have been received.
  bool waitForCount(std::size_t count, std::chrono::milliseconds timeout = kPeerTimeout) const {
    return waitUntil(timeout, [&] { return messages_.size() >= count; });
  }

 private:
  static void check(int result, const std::string& what) {
    if (result != MOSQ_ERR_SUCCESS) throw std::runtime_error(what + " failed: " + mosquitto_strerror(result));
  }
  // Runs `change` on the peer under its lock from libmosquitto's network thread and wakes the
  // waiters; nothing unwinds into C.
  template <typename Change>
  static void update(void* self, Change change) noexcept {
    auto& peer = *static_cast<TestPeer*>(self);
    try {
      std::lock_guard lock(peer.mutex_);
      change(peer);
      peer.changed_.notify_all();
    } catch (...) {
    }
  }
  template <typename Action>
  auto locked(Action action) const -> decltype(action()) {
    std::lock_guard lock(mutex_);
    return action();
  }
  template <typename Predicate>
  bool waitUntil(std::chrono::milliseconds timeout, Predicate predicate) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, predicate);
  }
  // The codes of the acknowledgement of a message id (SUBACK, PUBACK...); throws `failure` when
  // none arrives in time.
  std::vector<int> awaitAck(int messageId, std::chrono::milliseconds timeout, const std::string& failure) const {
    if (!waitUntil(timeout, [&] { return acks_.count(messageId) != 0; })) throw std::runtime_error(failure);
    return locked([&] { return acks_.at(messageId); });
  }

  void onConnect(int reasonCode) {
    std::map<std::string, int> renewals;
    update(this, [&](TestPeer&) {
      connack_ = reasonCode;
      if (reasonCode != 0) stopRequested_ = true;  // a refused client would knock again every second
      if (reasonCode == 0) renewals = subscriptions_;
      connected_ = reasonCode == 0 && renewals.empty();
    });
    // A clean session starts without subscriptions; the connection counts once they are back. Their
    // SUBACKs come on this thread, after this callback.
    for (const auto& [filter, qos] : renewals) {
      int id = 0;
      if (mosquitto_subscribe_v5(client_.get(), &id, filter.c_str(), qos, 0, nullptr) == MOSQ_ERR_SUCCESS) {
        update(this, [&](TestPeer&) { pendingRenewals_.insert(id); });
      }
    }
    update(this, [&](TestPeer&) { connected_ = connected_ || (!renewals.empty() && pendingRenewals_.empty()); });
  }

  // The peer's network thread: reads, writes, keeps alive and reconnects until disconnect(). Our own
  // loop rather than mosquitto_loop_start: a stop request cannot be lost in libmosquitto's reconnect
  // sequence, and a loop that gives up is seen at once.
  void runNetwork() {
    std::optional<std::chrono::steady_clock::time_point> flushDeadline;
    for (;;) {
      const int result = mosquitto_loop(client_.get(), 50, 1);
      std::unique_lock lock(mutex_);
      if (stopRequested_) {
        // Give the DISCONNECT a moment to leave; libmosquitto closes the socket once it has.
        if (!flushDeadline) flushDeadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        if (result != MOSQ_ERR_SUCCESS || std::chrono::steady_clock::now() >= *flushDeadline) break;
      } else if (result != MOSQ_ERR_SUCCESS) {
        const auto retry = std::chrono::milliseconds(500);
        if (!options_.reconnect || changed_.wait_for(lock, retry, [&] { return stopRequested_; })) break;
        lock.unlock();
        mosquitto_reconnect(client_.get());  // a failure shows in the next mosquitto_loop
      }
    }
    update(this, [&](TestPeer&) { loopEnded_ = true, connected_ = false; });
  }

  const PeerOptions options_;
  std::unique_ptr<mosquitto, decltype(&mosquitto_destroy)> client_{nullptr, &mosquitto_destroy};
  std::thread network_;  // runNetwork(); only started and joined by the owner's thread

  // Written by libmosquitto's network thread, read by the test's thread. The lock is never held
  // across a libmosquitto call, so callbacks cannot deadlock against the owner.
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  bool connected_ = false;           // guarded by mutex_: CONNACK accepted, subscriptions renewed
  bool stopRequested_ = false;       // guarded by mutex_: disconnect() called or connection refused
  bool loopEnded_ = false;           // guarded by mutex_: the network thread ended
  std::optional<int> connack_;       // guarded by mutex_: last CONNACK code of this attempt
  std::optional<int> disconnected_;  // guarded by mutex_: reason of the last loss in this attempt
  std::vector<ReceivedMessage> messages_;  // guarded by mutex_
  // Guarded by mutex_: acknowledgements by message id (libmosquitto numbers every kind of packet
  // from one counter), the filters to renew on reconnection, and the renewals' SUBACKs still due.
  std::map<int, std::vector<int>> acks_;
  std::map<std::string, int> subscriptions_;
  std::set<int> pendingRenewals_;
};

}  // namespace corvane::testing
