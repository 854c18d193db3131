// The connection engine: one libmosquitto client, driven by the client's own network thread.
#include "client/client.hpp"

#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>

#include <openssl/ssl.h>
#include <mqtt_protocol.h>

#include <algorithm>
#include <cerrno>

#include <corvane/utils/network.hpp>

#include "client/mosquittoCall.hpp"
#include "command/command.hpp"
#include "errors/addressLookupError.hpp"
#include "errors/mosquittoErrors.hpp"
#include "skill/skill.hpp"
#include "ssl/callbackState.hpp"
#include "ssl/errors.hpp"
#include "ssl/tlsContext.hpp"
#include "topic/topic.hpp"

namespace corvane::plugins::mqttClient {

void MosquittoDestroy::operator()(mosquitto* m) const noexcept { mosquitto_destroy(m); }

std::string_view connectionStateName(ConnectionState state) noexcept {
  switch (state) {
    case ConnectionState::Idle: return "idle";
    case ConnectionState::Connected: return "connected";
    case ConnectionState::ConnectRequested: return "connectRequested";
    case ConnectionState::Connecting: return "connecting";
  }
  return "unknown";
}

namespace {

constexpr std::size_t kMaxPayloadLength = 2147483647;
constexpr int kDisconnectWithWill = 4;
constexpr int kUnspecifiedError = 128;
// How long a poll waits when nothing happens: state changes, stops and publications wake it at
// once, so this only paces libmosquitto's keepalive checks (whole seconds), and a poll that fails
// waits this long before the next try.
constexpr int kPollInterval = 1000;
// How long a publication waits for another sending call (a publication, a subscription) to finish;
// such calls take microseconds, but a loaded machine may deschedule the thread that makes one.
constexpr std::chrono::milliseconds kSendingLockWait{1000};
// How often a wait for a name lookup looks for a stop or a disable.
constexpr std::chrono::milliseconds kLookupSlice{100};


// Another publication or a subscription holds the lock for microseconds: wait for it, briefly,
// rather than drop this one. A connect may hold it longer: never wait for that. (A plain mutex
// polled in short steps: sanitizers do not follow timed locks.)
bool lockForSending(std::unique_lock<std::mutex>& lock, const std::atomic<bool>& connecting) {
  if (lock.try_lock()) return true;
  const auto deadline = std::chrono::steady_clock::now() + kSendingLockWait;
  while (!connecting && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::microseconds(20));
    if (lock.try_lock()) return true;
  }
  return false;
}

// Tells an MQTT 5 broker not to send packets larger than a command takes. libmosquitto keeps the
// CONNECT properties of its last MQTT 5 connect call for every later connect, but has no
// asynchronous call that takes them: they are handed over by a call that stops at its argument
// check (a keepalive below 5 s) before it connects.
void announceMaximumPacketSize(mosquitto* m) {
  mosquitto_property* properties = nullptr;
  if (mosquitto_property_add_int32(&properties, MQTT_PROP_MAXIMUM_PACKET_SIZE, Client::kMaxIncomingPacketSize) ==
      MOSQ_ERR_SUCCESS) {
    mosquitto_connect_bind_v5(m, "", 0, 1, nullptr, properties);
  }
  mosquitto_property_free_all(&properties);
}

// Conditions that the connect and disconnect callbacks report themselves.
bool isIgnorable(std::error_code error) {
  if (error == make_error_code(CustomError::ProtocolError)) return true;
  if (error.category() != mosquittoErrorCategory()) return false;
  switch (error.value()) {
    case MOSQ_ERR_CONN_PENDING:
    case MOSQ_ERR_NO_CONN:
    case MOSQ_ERR_CONN_REFUSED:
    case MOSQ_ERR_CONN_LOST: return true;
  }
  return false;
}

utils::Expected<void> connectedState() { return {}; }

}  // namespace

// libmosquitto's callbacks: never let anything unwind into C.
class ClientCallbacks {
 public:
  static void onConnect(mosquitto*, void* user, int rc, int, const mosquitto_property*) noexcept {
    try {
      static_cast<Client*>(user)->handleConnect(rc);
    } catch (...) {
    }
  }
  static void onDisconnect(mosquitto*, void* user, int reason, const mosquitto_property*) noexcept {
    try {
      static_cast<Client*>(user)->handleDisconnected(reason);
    } catch (...) {
    }
  }
  static void onPublish(mosquitto*, void* user, int mid, int reasonCode, const mosquitto_property* properties) noexcept {
    try {
      static_cast<Client*>(user)->handlePublished(mid, reasonCode, properties);
    } catch (...) {
    }
  }
  static void onSubscribe(mosquitto*, void* user, int mid, int count, const int* granted,
                          const mosquitto_property*) noexcept {
    try {
      static_cast<Client*>(user)->handleSubscribe(mid, count, granted);
    } catch (...) {
    }
  }
  static void onMessage(mosquitto*, void* user, const mosquitto_message* message,
                        const mosquitto_property* properties) noexcept {
    try {
      static_cast<Client*>(user)->handleMessage(message, properties);
    } catch (...) {
    }
  }
};

Client::Client() = default;

Client::~Client() {
  if (thread_.joinable()) {
    thread_.request_stop();
    thread_.join();
  }
}

std::shared_ptr<corvane::skill::Element> Client::createChildElement(const corvane::skill::Element::Class& elementClass,
                                                                    corvane::skill::ElementFactory& factory) {
  if (&elementClass == &TopicClass::instance) {
    auto topic = factory.create<Topic>(*this);
    topics_.push_back(topic.get());
    return topic;
  }
  if (&elementClass == &CommandClass::instance) {
    auto command = factory.create<Command>(*this);
    commands_.push_back(command.get());
    return command;
  }
  return nullptr;
}

std::string Client::brokerAddressText() const { return utils::network::Address::join(brokerHost_, brokerPort_); }

void Client::realize() {
  dataBlock_.open(corvane::memory::memoryResources::data(), corvane::memory::Object<Data>::defaultHandler());
}

void Client::prepare() {
  // A thread of an earlier prepare still drives the libmosquitto client replaced below.
  if (thread_.joinable()) {
    thread_.request_stop();
    thread_.join();
  }
  topicIndex_.clear();
  for (Command* command : commands_) topicIndex_.emplace(command->topicName(), command);

  if (!wakeUp_) {
    try {
      wakeUp_.emplace();
    } catch (const std::system_error& e) {
      throw std::system_error(e.code(), "Could not create MQTT client for \"" + brokerAddressText() + "\"");
    }
  }
  errno = 0;
  mosquitto_.reset(mosquitto_new(clientId_.c_str(), true, this));
  if (!mosquitto_) {
    throw std::system_error(errno, std::system_category(),
                            "Could not create MQTT client for \"" + brokerAddressText() + "\"");
  }
  // What waited in the old libmosquitto client went with it.
  forgetQueued();
  attempt_ = {};
  leaving_ = {};
  dropQueued_ = false;
  if (tlsConfig_) createTlsContext();
  configureMosquitto(mosquitto_.get());

  birthTopics_.clear();
  if (birthMessage_) {
    for (Topic* topic : topics_) {
      const auto& name = topic->topicName();
      if (!topic->requireForBirth() || name == birthMessage_->topic) continue;
      if (willMessage_ && name == willMessage_->topic) continue;
      if (std::find(birthTopics_.begin(), birthTopics_.end(), name) == birthTopics_.end()) birthTopics_.push_back(name);
    }
  }
  pendingBirthTopics_.reserve(birthTopics_.size());
  if (birthMessage_ && birthMessage_->payload.isTemplate()) {
    birthMessage_->payload.prepare({"MQTT client birth message", *this, birthMessage_->attributeNames});
  }

  thread_ = std::jthread([this](std::stop_token stop) { networkThread(std::move(stop)); });
}

// The options, callbacks, will and credentials of a new or emptied libmosquitto client.
void Client::configureMosquitto(mosquitto* m) {
  mosquitto_threaded_set(m, true);
  mosquitto_connect_v5_callback_set(m, &ClientCallbacks::onConnect);
  mosquitto_disconnect_v5_callback_set(m, &ClientCallbacks::onDisconnect);
  mosquitto_publish_v5_callback_set(m, &ClientCallbacks::onPublish);
  mosquitto_subscribe_v5_callback_set(m, &ClientCallbacks::onSubscribe);
  mosquitto_message_v5_callback_set(m, &ClientCallbacks::onMessage);
  mosquitto_log_callback_set(m, &ssl::onLog);
  mosquitto_int_option(m, MOSQ_OPT_PROTOCOL_VERSION, mqttVersion_);
  if (mqttVersion_ == MQTT_PROTOCOL_V5) announceMaximumPacketSize(m);

  if (willMessage_) {
    const auto& will = *willMessage_;
    int length = static_cast<int>(std::min(will.payload.size(), kMaxPayloadLength));
    auto error = bracketed([&] {
      return mosquitto_will_set_v5(m, will.topic.c_str(), length, will.payload.data(), will.qos, will.retained, nullptr);
    });
    if (error) throw std::system_error(error, "Error setting will message for MQTT broker \"" + brokerAddressText() + "\"");
  }
  if (tlsConfig_) {
    mosquitto_void_option(m, MOSQ_OPT_SSL_CTX, sslContext_.get());
    mosquitto_int_option(m, MOSQ_OPT_SSL_CTX_WITH_DEFAULTS, 0);
  }
  if (username_ || password_) {
    auto error = bracketed([&] {
      return mosquitto_username_pw_set(m, username_ ? username_->c_str() : nullptr,
                                       password_ ? password_->c_str() : nullptr);
    });
    if (error) {
      throw std::system_error(error, "Error setting user name and password for MQTT broker \"" +
                                         brokerAddressText() + "\"");
    }
  }
}

// Nothing waits in a libmosquitto client that is new or was emptied.
void Client::forgetQueued() {
  {
    std::lock_guard publishLock(publishMutex_);
    pendingPublishes_.clear();
    queuedBytes_ = 0;
  }
  std::lock_guard subscriptionLock(subscriptionMutex_);
  pendingSubscriptions_.clear();
}

ConnectionState Client::connectionState() const {
  std::lock_guard lock(stateMutex_);
  return connectionState_;
}

void Client::setConnectionState(ConnectionState state, ConnectionState* old) {
  ConnectionState previous;
  {
    std::lock_guard lock(stateMutex_);
    previous = connectionState_;
    connectionState_ = state;
  }
  if (previous != state) notifyStateChanged();
  if (old) *old = previous;
}

// Waiters on the condition, and the network thread in its poll.
void Client::notifyStateChanged() {
  stateChanged_.notify_all();
  if (wakeUp_) wakeUp_->signal();
}

void Client::activate() {
  if (activeCount_.fetch_add(1) + 1 != 1) return;
  bool changed = false;
  {
    std::lock_guard lock(stateMutex_);
    if (!enabled_) {
      enabled_ = true;
      changed = true;
      if (connectionState_ == ConnectionState::Idle) connectionState_ = ConnectionState::ConnectRequested;
    }
  }
  if (changed) notifyStateChanged();
}

void Client::disable() {
  bool changed = false;
  {
    std::lock_guard lock(stateMutex_);
    if (enabled_) {
      enabled_ = false;
      changed = true;
      if (connectionState_ == ConnectionState::ConnectRequested) connectionState_ = ConnectionState::Idle;
    }
  }
  if (changed) notifyStateChanged();
}

void Client::deactivate() {
  if (activeCount_.fetch_sub(1) != 1) return;
  disable();
}

void Client::cleanup() {
  disable();
  {
    std::unique_lock lock(stateMutex_);
    stateChanged_.wait_for(lock, cleanupTimeout, [&] { return connectionState_ == ConnectionState::Idle; });
  }
  // Nothing may reach the topics and commands once the runtime starts destroying them.
  if (thread_.joinable()) {
    thread_.request_stop();
    thread_.join();
  }
}

unsigned ClientUserTask::stages() const { return kPreOperational | kOperational | kPostOperational; }
int ClientUserTask::preparePreOperational() { return kProceed; }
void ClientUserTask::finishPreOperational() { client_.activate(); }
int ClientUserTask::preparePostOperational() {
  client_.deactivate();
  return kProceed;
}

void Client::ReconnectTask::operational(const ExecutionContext&) {
  Client& c = client();
  bool requested = false;
  {
    std::lock_guard lock(c.stateMutex_);
    if (c.connectionState_ == ConnectionState::Idle && c.enabled_) {
      c.connectionState_ = ConnectionState::ConnectRequested;
      requested = true;
    }
  }
  if (requested) c.notifyStateChanged();
}

void Client::networkThread(std::stop_token stop) {
  // Network thread: every connect, disconnect and poll call, and so every libmosquitto callback.
  pthread_setname_np(pthread_self(), "mqtt-client");
  mosquitto* m = mosquitto_.get();
  std::stop_callback wakeOnStop(stop, [this] { wakeUp_->signal(); });
  std::unique_lock lock(stateMutex_);
  while (true) {
    stateChanged_.wait(lock, stop, [&] { return connectionState_ != ConnectionState::Idle; });
    if (stop.stop_requested()) return;
    enum class Action { kPoll, kConnect, kLeave, kNone } action = Action::kPoll;
    bool notify = false;
    if (enabled_) {
      if (connectionState_ == ConnectionState::ConnectRequested) {
        connectionState_ = ConnectionState::Connecting;
        action = Action::kConnect;
        notify = true;
      }
    } else if (connectionState_ == ConnectionState::ConnectRequested) {
      connectionState_ = ConnectionState::Idle;
      action = Action::kNone;
      notify = true;
    } else {
      action = Action::kLeave;
    }
    lock.unlock();
    if (notify) notifyStateChanged();

    bool poll = action != Action::kNone;
    if (action == Action::kConnect) poll = startAttempt(m, stop);
    if (action == Action::kLeave) poll = leave(m);
    if (stop.stop_requested()) return;

    if (poll) {
      const auto started = std::chrono::steady_clock::now();
      const auto state = connectionState();
      std::optional<SteadyTime> wakeAt;
      if (state == ConnectionState::Connecting) wakeAt = attempt_.deadline;
      if (leaving_.willPending) wakeAt = leaving_.deadline;
      auto error = this->poll(m, wakeAt);
      // A failed TLS handshake closes the socket without a word to the callbacks.
      if (error == makeMosquittoError(MOSQ_ERR_NO_CONN) || mosquitto_socket(m) < 0) {
        const auto current = connectionState();
        if (current == ConnectionState::Connected || current == ConnectionState::Connecting) abandonConnection(m);
      }
      if (attempt_.endedUnanswered) {
        // The attempt ended before the broker answered: say why, not just "not connected".
        attempt_.endedUnanswered = false;
        if (!error || isIgnorable(error)) error = closedUnanswered();
        recordAttemptFailure(error);
      } else if (error && !isIgnorable(error) && !dataBlock_.read().deviceState) {
        recordAttemptFailure(error);
      }
      if (connectionState() == ConnectionState::Connecting && !attempt_.answered &&
          std::chrono::steady_clock::now() >= attempt_.deadline) {
        giveUpAttempt(m);
        recordAttemptFailure(make_error_code(CustomError::ConnectTimeout));
      }
      if (error) {
        // A failure that comes back at once must not turn the loop into a spin.
        lock.lock();
        stateChanged_.wait_until(lock, stop, started + std::chrono::milliseconds(kPollInterval),
                                 [&] { return connectionState_ == ConnectionState::Idle; });
        continue;
      }
    }
    lock.lock();
  }
}

// A wanted connection: looks the broker up and starts the connect; false when there is nothing to
// poll (given up, or failed and recorded).
bool Client::startAttempt(mosquitto* m, const std::stop_token& stop) {
  attempt_ = {.deadline = std::chrono::steady_clock::now() +
                          std::chrono::duration_cast<std::chrono::steady_clock::duration>(connectTimeout),
              .handshaking = tlsConfig_.has_value()};
  std::string address;
  auto looked = lookUpBroker(stop, address);
  if (!looked) {
    // Stopped or disabled while the name was being looked up: nothing was started.
    if (!stop.stop_requested()) setConnectionState(ConnectionState::Idle);
    return false;
  }
  std::error_code error = *looked;
  if (!error) {
    // The connect only starts the TCP handshake; it completes in the polls, where a stop or a
    // disable is taken up within one poll, and the attempt's deadline bounds it.
    connecting_ = true;
    {
      std::lock_guard mosquittoLock(mosquittoMutex_);
      if (dropQueued_) {
        dropQueued_ = false;
        mosquitto_reinitialise(m, clientId_.c_str(), true, this);
        forgetQueued();
        try {
          configureMosquitto(m);
        } catch (const std::system_error&) {
          // It was accepted by prepare: this cannot fail but for memory.
        }
      }
      keepUnconfirmedPublications();
      leaving_ = {};
      CallbackState capture;
      error = bracketed(
          [&] { return mosquitto_connect_bind_async(m, address.c_str(), brokerPort_, keepaliveInterval_, nullptr); },
          &capture);
      attempt_.socketError = capture.socketError;
    }
    connecting_ = false;
  }
  if (error) {
    setConnectionState(ConnectionState::Idle);
    recordAttemptFailure(error);
    return false;
  }
  return true;
}

// Disabled while connecting or connected: an attempt is given up, a connection ended in order.
// True while there is something left to poll for.
bool Client::leave(mosquitto* m) {
  if (connectionState() == ConnectionState::Connecting) {
    giveUpAttempt(m);
    return false;
  }
  const bool withWill = willMessage_ && !willMessage_->abnormalDisconnectOnly;
  if (!leaving_.started) {
    leaving_.started = true;
    leaving_.deadline = std::chrono::steady_clock::now() +
                        std::chrono::duration_cast<std::chrono::steady_clock::duration>(cleanupTimeout / 2);
    if (withWill && (mqttVersion_ == 3 || mqttVersion_ == 4)) {
      // These versions carry no reason code: deliver the will ourselves, once, and under QoS 1 or
      // 2 wait for its acknowledgement, which a DISCONNECT right behind it would cut off.
      const auto& will = *willMessage_;
      std::lock_guard mosquittoLock(mosquittoMutex_);
      std::lock_guard publishLock(publishMutex_);
      const auto error = publishMessage({now(), PublishKind::Will, nullptr}, will.topic, will.payload.data(),
                                        std::min(will.payload.size(), kMaxPayloadLength), will.qos, will.retained,
                                        nullptr);
      leaving_.willPending = !error && will.qos > 0;
    }
  }
  if (!leaving_.disconnected && (!leaving_.willPending || std::chrono::steady_clock::now() >= leaving_.deadline)) {
    leaving_.disconnected = true;
    bracketed([&] { return mosquitto_disconnect_v5(m, withWill ? kDisconnectWithWill : 0, nullptr); });
  }
  return true;
}

// An attempt the broker has not accepted has nothing to take leave of: it ends here, and nothing
// more is read from it (a CONNACK on its way must not connect a client that gave up).
void Client::giveUpAttempt(mosquitto* m) {
  if (const int socket = mosquitto_socket(m); socket >= 0) ::shutdown(socket, SHUT_RDWR);
  bracketed([&] { return mosquitto_disconnect_v5(m, 0, nullptr); });
  handleDisconnected(0);
}

// The first failure of an attempt is its cause; what follows from it (the socket closing after a
// failed handshake, a poll that finds no connection) says less and is not recorded.
void Client::recordAttemptFailure(std::error_code error) {
  if (attempt_.failed) return;
  attempt_.failed = true;
  updateState(now(), false, error);
}

// A broker that closes an MQTT 5 CONNECT without a word most likely speaks 3.1.1 only.
std::error_code Client::closedUnanswered() const {
  return make_error_code(mqttVersion_ == MQTT_PROTOCOL_V5 && !attempt_.handshaking ? CustomError::ClosedUnansweredMqtt5
                                                                                   : CustomError::ClosedUnanswered);
}

std::error_code Client::poll(mosquitto* m, std::optional<SteadyTime> wakeAt) {
  const int socket = mosquitto_socket(m);
  if (socket < 0) return makeMosquittoError(MOSQ_ERR_NO_CONN);
  auto* ssl = static_cast<SSL*>(mosquitto_ssl_get(m));
  // libmosquitto continues a TLS handshake only in its read call, and keeps asking to write from
  // its first step on (when TCP was still connecting): wait for what the handshake waits for.
  const bool handshaking = ssl != nullptr && SSL_is_init_finished(ssl) == 0;
  attempt_.handshaking = handshaking;
  pollfd watched[2] = {{socket, POLLIN, 0}, {wakeUp_->descriptor(), POLLIN, 0}};
  if (handshaking ? SSL_want_write(ssl) != 0 : mosquitto_want_write(m)) {
    watched[0].events = static_cast<short>(handshaking ? POLLOUT : POLLIN | POLLOUT);
  }
  // TLS may hold bytes it has read and decrypted already, which the socket no longer shows.
  const bool buffered = !handshaking && ssl != nullptr && SSL_pending(ssl) > 0;
  int timeout = kPollInterval;
  if (buffered) {
    timeout = 0;
  } else if (wakeAt) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*wakeAt - std::chrono::steady_clock::now());
    timeout = static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(left.count(), 0, kPollInterval));
  }
  if (::poll(watched, 2, timeout) < 0) {
    if (errno == EINTR) return {};
    return {errno, std::system_category()};
  }
  const bool woken = (watched[1].revents & POLLIN) != 0;
  if (woken) wakeUp_->clear();
  const short events = watched[0].revents;
  // A handshake step is taken on any readiness: it may wait for either direction.
  const short readOn = static_cast<short>(POLLIN | POLLERR | POLLHUP | (handshaking ? POLLOUT : 0));
  if (buffered || (events & readOn) != 0) {
    CallbackState read;
    auto error = bracketed([&] { return mosquitto_loop_read(m, 1); }, &read);
    if (attempt_.socketError == 0) attempt_.socketError = read.socketError;
    if (error) return error;
  }
  // A connection that failed before the broker answered (refused, reset) and that libmosquitto
  // still holds: it takes a TLS handshake's failed system call for a handshake under way, and
  // would wait for the keepalive to run out.
  if ((events & (POLLERR | POLLHUP)) != 0 && !attempt_.answered && mosquitto_socket(m) >= 0) {
    int failure = 0;
    socklen_t length = sizeof failure;
    if (::getsockopt(socket, SOL_SOCKET, SO_ERROR, &failure, &length) != 0 || failure == 0) {
      failure = attempt_.socketError;
    }
    abandonConnection(m);
    if (failure != 0) return {failure, std::system_category()};
    return closedUnanswered();
  }
  if (handshaking) return bracketed([&] { return mosquitto_loop_misc(m); });
  // A publication from a task thread wakes the poll: write it now rather than at the next event.
  if ((events & POLLOUT) != 0 || (woken && mosquitto_want_write(m))) {
    if (mosquitto_socket(m) < 0) return makeMosquittoError(MOSQ_ERR_NO_CONN);
    if (auto error = bracketed([&] { return mosquitto_loop_write(m, 1); })) return error;
  }
  return bracketed([&] { return mosquitto_loop_misc(m); });
}

// The connection is gone, whatever libmosquitto thinks: end it the way a lost one ends.
void Client::abandonConnection(mosquitto* m) {
  bracketed([&] { return mosquitto_disconnect_v5(m, kUnspecifiedError, nullptr); });
  handleDisconnected(MOSQ_ERR_CONN_LOST);
}

// The broker's address as a connect call takes it: the name looked up within the attempt's time,
// or the numeric address as configured. Nothing when the wait was given up (a stop, a disable).
std::optional<std::error_code> Client::lookUpBroker(const std::stop_token& stop, std::string& address) {
  if (isNumericAddress(brokerHost_)) {
    address = brokerHost_;
    return std::error_code();
  }
  // A lookup still running from an attempt given up earlier is waited for again rather than
  // started anew, so a hanging resolver does not gather requests.
  if (!lookup_) {
    try {
      lookup_.emplace(brokerHost_, brokerPort_);
    } catch (const std::system_error& e) {
      return e.code();
    }
  }
  while (!lookup_->wait(std::min(AddressLookup::Clock::now() + kLookupSlice, attempt_.deadline), stop)) {
    if (stop.stop_requested()) return std::nullopt;
    if (AddressLookup::Clock::now() >= attempt_.deadline) return make_error_code(CustomError::LookupTimeout);
    std::lock_guard state(stateMutex_);
    if (!enabled_) return std::nullopt;
  }
  const std::error_code error = lookup_->error();
  address = lookup_->firstAddress();
  lookup_.reset();
  return error;
}

void Client::updateState(TimeStamp time, bool connected, std::error_code error) {
  bool counts = false;
  {
    corvane::memory::WriteSentinel<Data> sentinel(dataBlock_, corvane::memory::WriteSentinel<Data>::Plain{});
    const Data& old = sentinel.oldData();
    Data& next = sentinel.placement();
    next.deviceState = connected;
    next.connectionTime = connected == old.deviceState ? old.connectionTime : time;
    if (connected) {
      next.birthMessageTime = old.birthMessageTime;
      next.error = std::error_code(0, std::system_category());
    } else {
      next.error = error;
    }
    const corvane::process::Event* event = nullptr;
    if (connected != old.deviceState) {
      event = connected ? &connectedEvent_ : &disconnectedEvent_;
      counts = true;
    } else {
      counts = next.error != old.error;
    }
    if (event) {
      sentinel.commit(time, {event});
    } else {
      sentinel.commit(time);
    }
  }
  if (!counts) return;
  for (Topic* topic : topics_) {
    topic->handleClientState(time, connected ? connectedState() : utils::Expected<void>(utils::unexpected(error)));
  }
}

void Client::handleConnect(int rc) {
  attempt_.answered = true;
  if (mqttVersion_ == 3 || mqttVersion_ == 4) {
    if (rc == 0) {
      handleConnected();
    } else {
      recordAttemptFailure(makeConnackError(rc));
    }
    return;
  }
  bool refused = (rc >= 128 && rc <= 138) || rc == 140 || rc == 144 || rc == 149 || rc == 151 ||
                 (rc >= 153 && rc <= 157) || rc == 159;
  // libmosquitto ends the poll with MOSQ_ERR_PROTOCOL after a refusal; this makes it ignorable.
  if (refused) callbackState().callbackError = make_error_code(CustomError::ProtocolError);
  if (rc >= 128) {
    recordAttemptFailure(makeReasonCodeError(rc));
  } else {
    handleConnected();
  }
}

void Client::handleConnected() {
  auto time = now();
  {
    // Disabled since the attempt started: the next pass gives it up; it never counts as connected.
    std::lock_guard lock(stateMutex_);
    if (!enabled_ || connectionState_ != ConnectionState::Connecting) return;
    connectionState_ = ConnectionState::Connected;
  }
  notifyStateChanged();
  updateState(time, true, {});
  if (birthMessage_ && birthTopics_.empty()) {
    std::lock_guard mosquittoLock(mosquittoMutex_);
    std::lock_guard publishLock(publishMutex_);
    publishBirthMessage(time);
  }
  for (auto& [name, command] : topicIndex_) command->subscribe();
}

void Client::handleDisconnected(int reason) {
  for (auto& [name, command] : topicIndex_) command->unsubscribe();
  {
    std::lock_guard lock(subscriptionMutex_);
    pendingSubscriptions_.clear();
  }
  // A will still unacknowledged when the connection ends must not go out on the next one.
  if (leaving_.willPending) dropQueued_ = true;
  leaving_.willPending = false;
  ConnectionState old;
  setConnectionState(ConnectionState::Idle, &old);
  if (old == ConnectionState::Connecting && !attempt_.answered && reason != 0) attempt_.endedUnanswered = true;
  if (old != ConnectionState::Connected) return;
  std::error_code error;
  switch (reason) {
    case 0: error = make_error_code(CustomError::NotConnected); break;
    case MOSQ_ERR_ERRNO: error = {errno, std::system_category()}; break;
    case MOSQ_ERR_EAI: error = {errno, addressLookupErrorCategory()}; break;
    default:
      // An MQTT 5 broker's DISCONNECT hands its reason code (128 and up) through as the reason;
      // libmosquitto's own results stay below that.
      error = reason >= 128 ? makeReasonCodeError(reason) : makeMosquittoError(reason);
      break;
  }
  updateState(now(), false, error);
}

void Client::handlePublished(int messageId, int reasonCode, const mosquitto_property* properties) {
  PendingPublish entry;
  {
    std::lock_guard lock(publishMutex_);
    auto it = pendingPublishes_.find(messageId);
    if (it == pendingPublishes_.end()) return;
    entry = it->second;
    queuedBytes_ -= entry.bytes;
    pendingPublishes_.erase(it);
  }
  if (entry.kind == PublishKind::Will) leaving_.willPending = false;
  if (entry.kind == PublishKind::Birth) {
    corvane::memory::WriteSentinel<Data> sentinel(dataBlock_, corvane::memory::WriteSentinel<Data>::CopyOld{});
    if (sentinel.oldData().deviceState) {
      sentinel.placement().birthMessageTime = entry.time;
      sentinel.commit(entry.time, {&birthEvent_});
    }
  }
  if (entry.topic) entry.topic->handlePublished(entry.time, reasonCode, properties);
}

void Client::handleSubscribe(int messageId, int qosCount, const int* grantedQos) {
  std::lock_guard lock(subscriptionMutex_);
  auto it = pendingSubscriptions_.find(messageId);
  if (it != pendingSubscriptions_.end()) it->second->handleSubscribeResult(now(), qosCount, grantedQos);
}

void Client::handleMessage(const mosquitto_message* message, const mosquitto_property* properties) {
  if (!message || !message->topic) return;
  auto [begin, end] = topicIndex_.equal_range(std::string_view(message->topic));
  for (auto it = begin; it != end; ++it) it->second->handleMessage(now(), message, properties);
}

std::error_code Client::publishMessage(PendingPublish pending, const std::string& topicName, const void* payload,
                                       std::size_t length, int qos, bool retain, const mosquitto_property* properties) {
  int messageId = 0;
  auto error = bracketed([&] {
    return mosquitto_publish_v5(mosquitto_.get(), &messageId, topicName.c_str(), static_cast<int>(length), payload, qos,
                                retain, properties);
  });
  // Without a connection libmosquitto still keeps a QoS 1 or 2 message and sends it on the next
  // one: that is queued, not failed.
  if (error && !(qos > 0 && error == makeMosquittoError(MOSQ_ERR_NO_CONN))) return error;
  pending.bytes = topicName.size() + length;
  pending.qos = qos;
  if (pendingPublishes_.try_emplace(messageId, pending).second) queuedBytes_ += pending.bytes;
  // Written by the network thread: wake it unless this is it.
  if (std::this_thread::get_id() != thread_.get_id()) wakeUp_->signal();
  return {};
}

void Client::publishBirthMessage(TimeStamp time) {
  const auto& birth = *birthMessage_;
  std::string text = birth.payload.render(birth.attributeNames);
  publishMessage({time, PublishKind::Birth, nullptr}, birth.topic, text.data(), text.size(), birth.qos, birth.retained,
                 nullptr);
}

// Before a connect: libmosquitto drops what it has not written at QoS 0 and sends the rest again
// on the new connection, where the broker's acknowledgements let go of it.
void Client::keepUnconfirmedPublications() {
  std::lock_guard publishLock(publishMutex_);
  for (auto it = pendingPublishes_.begin(); it != pendingPublishes_.end();) {
    if (it->second.qos == 0) {
      queuedBytes_ -= it->second.bytes;
      it = pendingPublishes_.erase(it);
    } else {
      it->second.kind = PublishKind::Earlier;
      it->second.topic = nullptr;
      ++it;
    }
  }
  if (birthMessage_) pendingBirthTopics_ = {birthTopics_.begin(), birthTopics_.end()};
}

utils::Expected<void> Client::publish(TimeStamp time, Topic& topic, const void* payload, std::size_t length, int qos,
                                      bool retain, const mosquitto_property* properties) {
  if (length > kMaxPayloadLength) return utils::unexpected(makeMosquittoError(MOSQ_ERR_PAYLOAD_SIZE));
  std::unique_lock mosquittoLock(mosquittoMutex_, std::defer_lock);
  if (!lockForSending(mosquittoLock, connecting_)) {
    return utils::unexpected(make_error_code(connecting_ ? CustomError::NotConnected : CustomError::SendingBusy));
  }
  std::lock_guard publishLock(publishMutex_);
  if (pendingPublishes_.size() >= kMaxQueuedMessages ||
      queuedBytes_ + topic.topicName().size() + length > kMaxQueuedBytes) {
    return utils::unexpected(make_error_code(CustomError::OutgoingQueueFull));
  }
  auto error = publishMessage({time, PublishKind::Topic, &topic}, topic.topicName(), payload, length, qos, retain,
                              properties);
  // Nothing was sent: the topic says why, also when the connection has just gone.
  if (error) return utils::unexpected(error);
  if (birthMessage_ && pendingBirthTopics_.erase(topic.topicName()) != 0 && pendingBirthTopics_.empty()) {
    publishBirthMessage(time);
  }
  return {};
}

std::error_code Client::subscribe(Command& command) {
  std::unique_lock mosquittoLock(mosquittoMutex_, std::defer_lock);
  if (std::this_thread::get_id() == thread_.get_id()) {
    // On the network thread, right after a CONNACK: a subscription skipped here would stay missing
    // for the whole connection, so wait for a publication in progress to finish.
    mosquittoLock.lock();
  } else if (!mosquittoLock.try_lock()) {
    return {0, std::system_category()};
  }
  int messageId = 0;
  auto error = bracketed([&] {
    return mosquitto_subscribe_v5(mosquitto_.get(), &messageId, command.topicName().c_str(), 0, 0, nullptr);
  });
  if (error) return error;
  std::lock_guard lock(subscriptionMutex_);
  if (!pendingSubscriptions_.try_emplace(messageId, &command).second) {
    return make_error_code(CustomError::DuplicateMessageId);
  }
  return {0, std::system_category()};
}

void Client::unsubscribe(Command& command) {
  std::unique_lock mosquittoLock(mosquittoMutex_, std::try_to_lock);
  if (!mosquittoLock || !mosquitto_) return;
  int messageId = 0;
  bracketed([&] { return mosquitto_unsubscribe_v5(mosquitto_.get(), &messageId, command.topicName().c_str(), nullptr); });
}

}  // namespace corvane::plugins::mqttClient
