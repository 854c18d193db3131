#include "testPeer.hpp"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace corvane::testing {
namespace {

// libmosquitto 2 counts initialisations; the test binary keeps it initialised until it ends.
void initialiseLibrary() {
  static const int result = mosquitto_lib_init();
  if (result != MOSQ_ERR_SUCCESS) throw std::runtime_error("mosquitto_lib_init failed");
}

std::string uniqueClientId() {
  static std::atomic<int> counter{0};
  return "test-peer-" + std::to_string(::getpid()) + "-" + std::to_string(++counter);
}

// Errors after which another attempt cannot succeed (libmosquitto's own loop gives up on them too).
bool isFatal(int result) {
  switch (result) {
    case MOSQ_ERR_NOMEM:
    case MOSQ_ERR_PROTOCOL:
    case MOSQ_ERR_INVAL:
    case MOSQ_ERR_NOT_FOUND:
    case MOSQ_ERR_TLS:
    case MOSQ_ERR_TLS_HANDSHAKE:
    case MOSQ_ERR_PAYLOAD_SIZE:
    case MOSQ_ERR_NOT_SUPPORTED:
    case MOSQ_ERR_AUTH:
    case MOSQ_ERR_ACL_DENIED:
    case MOSQ_ERR_UNKNOWN:
    case MOSQ_ERR_EAI:
    case MOSQ_ERR_PROXY: return true;
    default: return false;
  }
}

}  // namespace

std::string ConnectResult::describe() const {
  std::string text = "libmosquitto result " + std::to_string(error) + " (" + mosquitto_strerror(error) + ")";
  if (reasonCode >= 0) {
    text += ", CONNACK code " + std::to_string(reasonCode) + " (" + mosquitto_connack_string(reasonCode) + " / " +
            mosquitto_reason_string(reasonCode) + ")";
  } else {
    text += ", no CONNACK";
  }
  return text;
}

TestPeer::TestPeer(PeerOptions options)
    : options_(std::move(options)), clientId_(options_.clientId.empty() ? uniqueClientId() : options_.clientId) {
  initialiseLibrary();
  client_.reset(mosquitto_new(clientId_.c_str(), true, this));
  if (!client_) throw std::runtime_error("mosquitto_new failed: " + std::string(std::strerror(errno)));
  auto check = [&](int result, const char* what) {
    if (result != MOSQ_ERR_SUCCESS) {
      throw std::runtime_error(std::string(what) + " failed: " + mosquitto_strerror(result));
    }
  };
  check(mosquitto_int_option(client_.get(), MOSQ_OPT_PROTOCOL_VERSION, static_cast<int>(options_.version)),
        "MOSQ_OPT_PROTOCOL_VERSION");
  check(mosquitto_threaded_set(client_.get(), true), "mosquitto_threaded_set");
  if (options_.username || options_.password) {
    check(mosquitto_username_pw_set(client_.get(), options_.username ? options_.username->c_str() : nullptr,
                                    options_.password ? options_.password->c_str() : nullptr),
          "mosquitto_username_pw_set");
  }
  mosquitto_connect_v5_callback_set(client_.get(), &TestPeer::onConnect);
  mosquitto_disconnect_v5_callback_set(client_.get(), &TestPeer::onDisconnect);
  mosquitto_publish_v5_callback_set(client_.get(), &TestPeer::onPublish);
  mosquitto_subscribe_v5_callback_set(client_.get(), &TestPeer::onSubscribe);
  mosquitto_unsubscribe_v5_callback_set(client_.get(), &TestPeer::onUnsubscribe);
  mosquitto_message_v5_callback_set(client_.get(), &TestPeer::onMessage);
}

TestPeer::~TestPeer() {
  if (network_.joinable()) disconnect();
}

ConnectResult TestPeer::connect(std::chrono::milliseconds timeout) {
  if (network_.joinable()) disconnect();
  int connectionsBefore = 0;
  {
    std::lock_guard lock(mutex_);
    stopRequested_ = false;
    connack_.reset();
    disconnected_.reset();
    loopEnded_.reset();
    connectionsBefore = connectionCount_;
  }
  const int result = mosquitto_connect_bind_v5(client_.get(), "127.0.0.1", options_.port,
                                               options_.keepAliveSeconds, nullptr, nullptr);
  if (result != MOSQ_ERR_SUCCESS) return {result, -1};
  network_ = std::thread([this] { runNetwork(); });

  waitUntil(timeout, [&] {
    return connectionCount_ > connectionsBefore || (connack_ && *connack_ != 0) || disconnected_ || loopEnded_;
  });
  {
    std::lock_guard lock(mutex_);
    if (connectionCount_ > connectionsBefore) return {MOSQ_ERR_SUCCESS, 0};
  }
  disconnect();  // no retries behind the caller's back
  std::lock_guard lock(mutex_);
  ConnectResult outcome{MOSQ_ERR_TIMEOUT, -1};
  if (connack_) {
    outcome.reasonCode = *connack_;
    if (*connack_ != 0) outcome.error = MOSQ_ERR_SUCCESS;  // else: subscriptions not renewed in time
  } else if (loopEnded_ && *loopEnded_ != MOSQ_ERR_SUCCESS && *loopEnded_ != MOSQ_ERR_NO_CONN) {
    outcome.error = *loopEnded_;
  } else if (disconnected_) {
    outcome.error = *disconnected_ != 0 ? *disconnected_ : MOSQ_ERR_CONN_LOST;
  }
  return outcome;
}

void TestPeer::disconnect(int reasonCode) {
  mosquitto_disconnect_v5(client_.get(), reasonCode, nullptr);
  {
    std::lock_guard lock(mutex_);
    stopRequested_ = true;
    changed_.notify_all();
  }
  if (network_.joinable()) network_.join();
  std::lock_guard lock(mutex_);
  connected_ = false;
  changed_.notify_all();
}

// The peer's network thread: reads, writes, keeps alive and reconnects until disconnect(). Our own
// loop rather than mosquitto_loop_start: a stop request cannot be lost in libmosquitto's reconnect
// sequence, and a loop that gives up (a failed TLS handshake) is seen at once.
void TestPeer::runNetwork() {
  using Clock = std::chrono::steady_clock;
  std::optional<Clock::time_point> flushDeadline;
  int result = MOSQ_ERR_SUCCESS;
  for (;;) {
    result = mosquitto_loop(client_.get(), 50, 1);
    bool stopRequested = false;
    {
      std::lock_guard lock(mutex_);
      stopRequested = stopRequested_;
    }
    if (stopRequested) {
      // Give the DISCONNECT a moment to leave; libmosquitto closes the socket once it has.
      if (result != MOSQ_ERR_SUCCESS) break;
      if (!flushDeadline) flushDeadline = Clock::now() + std::chrono::seconds(1);
      if (Clock::now() >= *flushDeadline) break;
      continue;
    }
    if (result == MOSQ_ERR_SUCCESS) continue;
    if (isFatal(result) || !options_.reconnect) break;
    {
      std::unique_lock lock(mutex_);
      if (changed_.wait_for(lock, kReconnectDelay, [&] { return stopRequested_; })) break;
    }
    mosquitto_reconnect(client_.get());  // a failure shows in the next mosquitto_loop
  }
  std::lock_guard lock(mutex_);
  loopEnded_ = result;
  connected_ = false;
  changed_.notify_all();
}

bool TestPeer::connected() const {
  std::lock_guard lock(mutex_);
  return connected_;
}

std::vector<int> TestPeer::subscribe(const std::string& filter, int qos, std::chrono::milliseconds timeout) {
  {
    std::lock_guard lock(mutex_);
    auto known = std::find_if(subscriptions_.begin(), subscriptions_.end(),
                              [&](const auto& subscription) { return subscription.first == filter; });
    if (known != subscriptions_.end()) {
      known->second = qos;
    } else {
      subscriptions_.emplace_back(filter, qos);
    }
  }
  int messageId = 0;
  const int result = mosquitto_subscribe_v5(client_.get(), &messageId, filter.c_str(), qos, 0, nullptr);
  if (result != MOSQ_ERR_SUCCESS) {
    throw std::runtime_error("subscribe to \"" + filter + "\" failed: " + mosquitto_strerror(result));
  }
  if (!waitUntil(timeout, [&] { return subscribed_.count(messageId) != 0; })) {
    throw std::runtime_error("no SUBACK for \"" + filter + "\"");
  }
  std::lock_guard lock(mutex_);
  return subscribed_.at(messageId);
}

void TestPeer::unsubscribe(const std::string& filter, std::chrono::milliseconds timeout) {
  {
    std::lock_guard lock(mutex_);
    std::erase_if(subscriptions_, [&](const auto& subscription) { return subscription.first == filter; });
  }
  int messageId = 0;
  const int result = mosquitto_unsubscribe_v5(client_.get(), &messageId, filter.c_str(), nullptr);
  if (result != MOSQ_ERR_SUCCESS) {
    throw std::runtime_error("unsubscribe from \"" + filter + "\" failed: " + mosquitto_strerror(result));
  }
  if (!waitUntil(timeout, [&] { return unsubscribed_.count(messageId) != 0; })) {
    throw std::runtime_error("no UNSUBACK for \"" + filter + "\"");
  }
}

int TestPeer::publish(const std::string& topic, std::string_view payload, int qos, bool retain,
                      const mosquitto_property* properties) {
  int messageId = 0;
  const int result = mosquitto_publish_v5(client_.get(), &messageId, topic.c_str(), static_cast<int>(payload.size()),
                                          payload.data(), qos, retain, properties);
  if (result != MOSQ_ERR_SUCCESS) {
    throw std::runtime_error("publish to \"" + topic + "\" failed: " + mosquitto_strerror(result));
  }
  return messageId;
}

int TestPeer::publishAndWait(const std::string& topic, std::string_view payload, int qos, bool retain,
                             const mosquitto_property* properties, std::chrono::milliseconds timeout) {
  const int messageId = publish(topic, payload, qos, retain, properties);
  auto reasonCode = waitForPublished(messageId, timeout);
  if (!reasonCode) throw std::runtime_error("publication to \"" + topic + "\" was not completed in time");
  return *reasonCode;
}

std::optional<int> TestPeer::waitForPublished(int messageId, std::chrono::milliseconds timeout) const {
  if (!waitUntil(timeout, [&] { return published_.count(messageId) != 0; })) return std::nullopt;
  std::lock_guard lock(mutex_);
  return published_.at(messageId);
}

std::vector<ReceivedMessage> TestPeer::messages() const {
  std::lock_guard lock(mutex_);
  return messages_;
}

std::size_t TestPeer::messageCount() const {
  std::lock_guard lock(mutex_);
  return messages_.size();
}

void TestPeer::clearMessages() {
  std::lock_guard lock(mutex_);
  messages_.clear();
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

// The callbacks below run on libmosquitto's network thread; nothing may unwind into C.

void TestPeer::onConnect(mosquitto* client, void* self, int reasonCode, int, const mosquitto_property*) {
  auto& peer = *static_cast<TestPeer*>(self);
  try {
    std::vector<std::pair<std::string, int>> renewals;
    {
      std::lock_guard lock(peer.mutex_);
      peer.connack_ = reasonCode;
      peer.connected_ = reasonCode == 0;
      if (reasonCode != 0) peer.stopRequested_ = true;  // a refused client would knock again every second
      if (reasonCode == 0) renewals = peer.subscriptions_;
      if (reasonCode == 0 && renewals.empty()) ++peer.connectionCount_;
      peer.changed_.notify_all();
    }
    if (reasonCode != 0) return;
    // A clean session starts without subscriptions; the connection counts once they are back.
    for (const auto& [filter, qos] : renewals) {
      int messageId = 0;
      if (mosquitto_subscribe_v5(client, &messageId, filter.c_str(), qos, 0, nullptr) == MOSQ_ERR_SUCCESS) {
        std::lock_guard lock(peer.mutex_);
        peer.pendingRenewals_.insert(messageId);
      }
    }
    std::lock_guard lock(peer.mutex_);
    if (peer.pendingRenewals_.empty() && !renewals.empty()) ++peer.connectionCount_;
    peer.changed_.notify_all();
  } catch (...) {
  }
}

void TestPeer::onDisconnect(mosquitto*, void* self, int reasonCode, const mosquitto_property*) {
  auto& peer = *static_cast<TestPeer*>(self);
  std::lock_guard lock(peer.mutex_);
  peer.connected_ = false;
  peer.disconnected_ = reasonCode;
  peer.pendingRenewals_.clear();
  peer.changed_.notify_all();
}

void TestPeer::onPublish(mosquitto*, void* self, int messageId, int reasonCode, const mosquitto_property*) {
  auto& peer = *static_cast<TestPeer*>(self);
  try {
    std::lock_guard lock(peer.mutex_);
    peer.published_[messageId] = reasonCode;
    peer.changed_.notify_all();
  } catch (...) {
  }
}

void TestPeer::onSubscribe(mosquitto*, void* self, int messageId, int count, const int* granted,
                           const mosquitto_property*) {
  auto& peer = *static_cast<TestPeer*>(self);
  try {
    std::lock_guard lock(peer.mutex_);
    peer.subscribed_[messageId] = std::vector<int>(granted, granted + count);
    if (peer.pendingRenewals_.erase(messageId) != 0 && peer.pendingRenewals_.empty()) ++peer.connectionCount_;
    peer.changed_.notify_all();
  } catch (...) {
  }
}

void TestPeer::onUnsubscribe(mosquitto*, void* self, int messageId, const mosquitto_property*) {
  auto& peer = *static_cast<TestPeer*>(self);
  try {
    std::lock_guard lock(peer.mutex_);
    peer.unsubscribed_[messageId] = true;
    peer.changed_.notify_all();
  } catch (...) {
  }
}

void TestPeer::onMessage(mosquitto*, void* self, const mosquitto_message* message,
                         const mosquitto_property*) {
  auto& peer = *static_cast<TestPeer*>(self);
  try {
    ReceivedMessage received;
    received.receivedAt = std::chrono::steady_clock::now();
    received.topic = message->topic;
    if (message->payloadlen > 0) {
      received.payload.assign(static_cast<const char*>(message->payload),
                              static_cast<std::size_t>(message->payloadlen));
    }
    received.qos = message->qos;
    received.retain = message->retain;
    std::lock_guard lock(peer.mutex_);
    peer.messages_.push_back(std::move(received));
    peer.changed_.notify_all();
  } catch (...) {
  }
}

}  // namespace corvane::testing
