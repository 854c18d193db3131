#include "testPeer.hpp"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <iterator>
#include <stdexcept>

namespace corvane::testing {
namespace {

void check(int result, const std::string& what) {
  if (result != MOSQ_ERR_SUCCESS) throw std::runtime_error(what + " failed: " + mosquitto_strerror(result));
}

// Errors after which another attempt cannot succeed (libmosquitto's own loop gives up on them too).
bool isFatal(int result) {
  static constexpr int kFatal[] = {MOSQ_ERR_NOMEM,        MOSQ_ERR_PROTOCOL,      MOSQ_ERR_INVAL, MOSQ_ERR_NOT_FOUND,
                                   MOSQ_ERR_TLS,          MOSQ_ERR_TLS_HANDSHAKE, MOSQ_ERR_AUTH,  MOSQ_ERR_PAYLOAD_SIZE,
                                   MOSQ_ERR_NOT_SUPPORTED, MOSQ_ERR_ACL_DENIED,   MOSQ_ERR_EAI,   MOSQ_ERR_UNKNOWN,
                                   MOSQ_ERR_PROXY};
  return std::find(std::begin(kFatal), std::end(kFatal), result) != std::end(kFatal);
}

}  // namespace

template <typename Change>
void TestPeer::update(void* self, Change change) noexcept {
  auto& peer = *static_cast<TestPeer*>(self);
  try {
    std::lock_guard lock(peer.mutex_);
    change(peer);
    peer.changed_.notify_all();
  } catch (...) {
  }
}

TestPeer::TestPeer(PeerOptions options) : options_(std::move(options)), clientId_([&] {
  static std::atomic<int> counter{0};
  return options_.clientId.empty() ? "test-peer-" + std::to_string(::getpid()) + "-" + std::to_string(++counter)
                                   : options_.clientId;
}()) {
  // libmosquitto counts initialisations; the test binary keeps it initialised until it ends.
  static const int initialised = mosquitto_lib_init();
  check(initialised, "mosquitto_lib_init");
  client_.reset(mosquitto_new(clientId_.c_str(), true, this));
  if (!client_) throw std::runtime_error("mosquitto_new failed");
  mosquitto* client = client_.get();
  check(mosquitto_int_option(client, MOSQ_OPT_PROTOCOL_VERSION, static_cast<int>(options_.version)), "protocol version");
  check(mosquitto_threaded_set(client, true), "mosquitto_threaded_set");
  // The callbacks run on the network thread.
  mosquitto_connect_v5_callback_set(client, [](mosquitto*, void* self, int code, int, const mosquitto_property*) {
    static_cast<TestPeer*>(self)->onConnect(code);
  });
  mosquitto_disconnect_v5_callback_set(client, [](mosquitto*, void* self, int code, const mosquitto_property*) {
    update(self, [&](TestPeer& peer) {
      peer.connected_ = false;
      peer.disconnected_ = code;
      peer.pendingRenewals_.clear();
    });
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
  mosquitto_unsubscribe_v5_callback_set(client, [](mosquitto*, void* self, int id, const mosquitto_property*) {
    update(self, [&](TestPeer& peer) { peer.acks_[id]; });
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

TestPeer::~TestPeer() {
  if (network_.joinable()) disconnect();
}

void TestPeer::onConnect(int reasonCode) {
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

ConnectResult TestPeer::connect(std::chrono::milliseconds timeout) {
  if (network_.joinable()) disconnect();
  update(this, [&](TestPeer&) {
    stopRequested_ = false;
    connack_.reset();
    disconnected_.reset();
    loopEnded_.reset();
  });
  const int result = mosquitto_connect_bind_v5(client_.get(), "127.0.0.1", options_.port, 60, nullptr, nullptr);
  if (result != MOSQ_ERR_SUCCESS) return {result, -1};
  network_ = std::thread([this] { runNetwork(); });
  std::unique_lock lock(mutex_);
  changed_.wait_for(lock, timeout,
                    [&] { return connected_ || (connack_ && *connack_ != 0) || disconnected_ || loopEnded_; });
  if (connected_) return {MOSQ_ERR_SUCCESS, 0};
  lock.unlock();
  disconnect();  // no retries behind the caller's back
  lock.lock();
  if (connack_) return {*connack_ != 0 ? MOSQ_ERR_SUCCESS : MOSQ_ERR_TIMEOUT, *connack_};  // 0: renewals too slow
  if (loopEnded_ && *loopEnded_ != MOSQ_ERR_SUCCESS && *loopEnded_ != MOSQ_ERR_NO_CONN) return {*loopEnded_, -1};
  if (disconnected_) return {*disconnected_ != 0 ? *disconnected_ : MOSQ_ERR_CONN_LOST, -1};
  return {MOSQ_ERR_TIMEOUT, -1};
}

void TestPeer::disconnect(int reasonCode) {
  mosquitto_disconnect_v5(client_.get(), reasonCode, nullptr);
  update(this, [&](TestPeer&) { stopRequested_ = true; });
  if (network_.joinable()) network_.join();
  update(this, [&](TestPeer&) { connected_ = false; });
}

// The peer's network thread: reads, writes, keeps alive and reconnects until disconnect(). Our own
// loop rather than mosquitto_loop_start: a stop request cannot be lost in libmosquitto's reconnect
// sequence, and a loop that gives up (a failed TLS handshake) is seen at once.
void TestPeer::runNetwork() {
  std::optional<std::chrono::steady_clock::time_point> flushDeadline;
  int result = MOSQ_ERR_SUCCESS;
  for (;;) {
    result = mosquitto_loop(client_.get(), 50, 1);
    std::unique_lock lock(mutex_);
    if (stopRequested_) {
      // Give the DISCONNECT a moment to leave; libmosquitto closes the socket once it has.
      if (!flushDeadline) flushDeadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
      if (result != MOSQ_ERR_SUCCESS || std::chrono::steady_clock::now() >= *flushDeadline) break;
    } else if (result != MOSQ_ERR_SUCCESS) {
      if (isFatal(result) || !options_.reconnect ||
          changed_.wait_for(lock, std::chrono::milliseconds(500), [&] { return stopRequested_; })) {
        break;
      }
      lock.unlock();
      mosquitto_reconnect(client_.get());  // a failure shows in the next mosquitto_loop
    }
  }
  update(this, [&](TestPeer&) {
    loopEnded_ = result;
    connected_ = false;
  });
}

std::vector<int> TestPeer::subscribe(const std::string& filter, int qos, std::chrono::milliseconds timeout) {
  update(this, [&](TestPeer&) { subscriptions_[filter] = qos; });
  int id = 0;
  check(mosquitto_subscribe_v5(client_.get(), &id, filter.c_str(), qos, 0, nullptr), "subscribe to \"" + filter + "\"");
  return awaitAck(id, timeout, "no SUBACK for \"" + filter + "\"");
}

void TestPeer::unsubscribe(const std::string& filter, std::chrono::milliseconds timeout) {
  update(this, [&](TestPeer&) { subscriptions_.erase(filter); });
  int id = 0;
  check(mosquitto_unsubscribe_v5(client_.get(), &id, filter.c_str(), nullptr), "unsubscribe from \"" + filter + "\"");
  awaitAck(id, timeout, "no UNSUBACK for \"" + filter + "\"");
}

int TestPeer::publish(const std::string& topic, std::string_view payload, int qos, bool retain,
                      const mosquitto_property* properties) {
  int id = 0;
  check(mosquitto_publish_v5(client_.get(), &id, topic.c_str(), static_cast<int>(payload.size()), payload.data(), qos,
                             retain, properties),
        "publish to \"" + topic + "\"");
  return id;
}

int TestPeer::publishAndWait(const std::string& topic, std::string_view payload, int qos, bool retain,
                             const mosquitto_property* properties, std::chrono::milliseconds timeout) {
  return awaitAck(publish(topic, payload, qos, retain, properties), timeout,
                  "publication to \"" + topic + "\" was not completed in time")
      .front();
}

std::vector<int> TestPeer::awaitAck(int messageId, std::chrono::milliseconds timeout, const std::string& failure) const {
  std::unique_lock lock(mutex_);
  if (!changed_.wait_for(lock, timeout, [&] { return acks_.count(messageId) != 0; })) throw std::runtime_error(failure);
  return acks_.at(messageId);
}

std::optional<ReceivedMessage> TestPeer::waitFor(const std::function<bool(const ReceivedMessage&)>& predicate,
                                                 std::chrono::milliseconds timeout) const {
  std::optional<ReceivedMessage> found;
  waitUntil(timeout, [&] {
    auto match = std::find_if(messages_.begin(), messages_.end(), predicate);
    if (match != messages_.end()) found = *match;
    return found.has_value();
  });
  return found;
}

std::optional<ReceivedMessage> TestPeer::waitForTopic(const std::string& topic,
                                                      std::chrono::milliseconds timeout) const {
  return waitFor([&](const ReceivedMessage& message) { return message.topic == topic; }, timeout);
}

bool TestPeer::waitForCount(std::size_t count, std::chrono::milliseconds timeout) const {
  return waitUntil(timeout, [&] { return messages_.size() >= count; });
}

template <typename Predicate>
bool TestPeer::waitUntil(std::chrono::milliseconds timeout, Predicate predicate) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, predicate);
}

}  // namespace corvane::testing
