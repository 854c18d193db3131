#include "listener.hpp"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <optional>
#include <random>
#include <utility>

#include <corvane/runtime.hpp>
#include <corvane/utils/network.hpp>
#include <corvane/utils/string.hpp>

#include "addressLookup.hpp"
#include "client/mosquittoCall.hpp"
#include "errors/mosquittoErrors.hpp"
#include "jsonLine.hpp"
#include "ssl/tlsContext.hpp"

namespace corvane::run {

namespace {

constexpr std::string_view kAlphabet = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
constexpr std::size_t kRandomCharacters = 6;
// Client identifier limits: MQTT 3.1 allows 23 bytes, later versions what a string can hold.
constexpr std::size_t kMqtt31ClientIdLength = 23;
constexpr std::size_t kMqttStringLength = 65535;
// SUBACK entries and CONNACK reason codes from here up are refusals.
constexpr int kFirstRefusal = 0x80;
constexpr int kPollMilliseconds = 100;

using mqtt::bracketed;

std::string inQuotes(std::string_view text) { return jsonString(text); }

// `text` as well-formed UTF-8 (a malformed byte becomes U+FFFD), at most `limit` bytes of it and
// never cut inside a character; `cut` tells whether something was left off.
std::string wellFormed(std::string_view text, std::size_t limit, bool& cut) {
  std::string out;
  out.reserve(std::min(text.size(), limit));
  cut = false;
  utils::string::Utf8Decoder decoder;
  auto append = [&](char32_t c) {
    if (cut) return;
    std::string character;
    utils::string::appendUtf8(character, c);
    if (out.size() + character.size() > limit) {
      cut = true;
      return;
    }
    out += character;
  };
  for (char byte : text) {
    decoder.put(static_cast<unsigned char>(byte), append);
    if (cut) return out;
  }
  decoder.finish(append);
  return out;
}

std::string wellFormed(std::string_view text) {
  bool cut = false;
  return wellFormed(text, text.size() * 3, cut);
}

// One command entry's part of a message line: what its path selected and what the data point
// would take from it. The write goes to a stand-in of the point, of its type, so the conversion is
// the point's own while the model's point keeps its value.
std::string entryJson(const mqtt::CommandPayload::DataPoint& entry, const mqtt::JsonValue* selected,
                      const std::string& failure) {
  JsonLine line;
  const auto target = entry.target();
  if (target) {
    line.add("dataPoint", target->primaryKey());
  } else {
    line.addNull("dataPoint");
  }
  line.add("jsonPath", entry.pathText());
  if (selected == nullptr) {
    line.add("error", wellFormed(failure));
    return line.text();
  }
  line.addRaw("selected", selected->toText());
  if (!target) {
    line.addError("writeError", std::error_code(static_cast<int>(data::ReadHandle::Error::kElementGone),
                                                data::ReadHandle::errorCategory()));
    return line.text();
  }
  const auto point = std::dynamic_pointer_cast<runtime::DataPoint>(target);
  if (!point) {
    line.add("writeError", "a data point of another kind: no stand-in to write to");
    return line.text();
  }
  auto standIn = std::make_shared<runtime::DataPoint>(point->primaryKey(), point->uuid(), point->type());
  std::error_code result;
  try {
    result = entry.writeValue(standIn->attributeWriteHandle(model::Attribute::kValue), *selected);
  } catch (const std::exception& e) {
    line.add("writeError", wellFormed(e.what()));
    return line.text();
  }
  if (result) {
    line.addError("writeError", result);
  } else {
    line.addValue("wouldWrite", standIn->value());
  }
  return line.text();
}

// The listener's client identifier: the configured one with "-listen-" and six random characters,
// the configured part shortened (never inside a character) to fit the protocol's limit.
std::string listenerClientId(std::string_view configured, int mqttVersion) {
  std::random_device device;
  std::uniform_int_distribution<std::size_t> pick(0, kAlphabet.size() - 1);
  std::string suffix = "-listen-";
  for (std::size_t i = 0; i < kRandomCharacters; ++i) suffix += kAlphabet[pick(device)];
  const std::size_t limit = mqttVersion == MQTT_PROTOCOL_V31 ? kMqtt31ClientIdLength : kMqttStringLength;
  std::size_t keep = std::min(configured.size(), limit - suffix.size());
  // Back to the start of a character, so the identifier stays UTF-8.
  while (keep > 0 && keep < configured.size() && (static_cast<unsigned char>(configured[keep]) & 0xC0) == 0x80) --keep;
  return std::string(configured.substr(0, keep)) + suffix;
}

}  // namespace

ListenOutput::ListenOutput(int lines, int notes)
    : lines_(lines, droppedJsonLine, [] { ::kill(::getpid(), SIGTERM); }),
      notes_(notes, [](std::uint64_t count, TimeStamp since) {
        return "corvane-run listen: " + std::to_string(count) + " notes lost since " + formatTime(since) +
               ": standard error is not read\n";
      }) {}

// libmosquitto's callbacks: nothing unwinds into C.
class ListenerCallbacks {
 public:
  static void onConnect(mosquitto*, void* user, int rc, int, const mosquitto_property*) noexcept {
    try {
      static_cast<Listener*>(user)->handleConnect(rc);
    } catch (...) {
    }
  }
  static void onDisconnect(mosquitto*, void* user, int rc, const mosquitto_property*) noexcept {
    try {
      static_cast<Listener*>(user)->handleDisconnect(rc);
    } catch (...) {
    }
  }
  static void onSubscribe(mosquitto*, void* user, int messageId, int count, const int* granted,
                          const mosquitto_property*) noexcept {
    try {
      static_cast<Listener*>(user)->handleSubscribe(messageId, count, granted);
    } catch (...) {
    }
  }
  static void onMessage(mosquitto*, void* user, const mosquitto_message* message, const mosquitto_property*) noexcept {
    if (message == nullptr || message->topic == nullptr) return;
    try {
      static_cast<Listener*>(user)->handleMessage(*message);
    } catch (...) {
    }
  }
};

Listener::Listener(const mqtt::Client& client, std::string clientPath, std::vector<CommandElement> commands,
                   ListenOutput& output)
    : client_(client),
      clientPath_(std::move(clientPath)),
      commands_(std::move(commands)),
      output_(output),
      clientId_(listenerClientId(client.clientId(), client.mqttVersion())),
      address_(utils::network::Address::join(client.brokerHost(), client.brokerPort())) {
  for (const auto& command : commands_) {
    const auto& topic = command.command->topicName();
    if (std::find(topics_.begin(), topics_.end(), topic) == topics_.end()) topics_.push_back(topic);
  }

  errno = 0;
  mosquitto_.reset(mosquitto_new(clientId_.c_str(), true, this));
  if (!mosquitto_) {
    throw std::system_error(errno, std::system_category(), "cannot create an MQTT client for " + inQuotes(address_));
  }
  mosquitto* m = mosquitto_.get();
  mosquitto_threaded_set(m, true);
  mosquitto_connect_v5_callback_set(m, &ListenerCallbacks::onConnect);
  mosquitto_disconnect_v5_callback_set(m, &ListenerCallbacks::onDisconnect);
  mosquitto_subscribe_v5_callback_set(m, &ListenerCallbacks::onSubscribe);
  mosquitto_message_v5_callback_set(m, &ListenerCallbacks::onMessage);
  mosquitto_log_callback_set(m, &mqtt::ssl::onLog);
  mosquitto_int_option(m, MOSQ_OPT_PROTOCOL_VERSION, client.mqttVersion());
  // The client's own TLS context: the same trust, pinning, client certificate and host check.
  if (client.sslContext() != nullptr) {
    mosquitto_void_option(m, MOSQ_OPT_SSL_CTX, client.sslContext());
    mosquitto_int_option(m, MOSQ_OPT_SSL_CTX_WITH_DEFAULTS, 0);
  }
  const auto& username = client.username();
  const auto& password = client.password();
  if (username || password) {
    auto error = bracketed([&] {
      return mosquitto_username_pw_set(m, username ? username->c_str() : nullptr, password ? password->c_str() : nullptr);
    });
    if (error) throw std::system_error(error, "cannot set the user name and password for " + inQuotes(address_));
  }
}

Listener::~Listener() { stop(); }

void Listener::start() {
  thread_ = std::jthread([this](std::stop_token stop) { run(std::move(stop)); });
}

void Listener::stop() {
  if (!thread_.joinable()) return;
  thread_.request_stop();
  retry_.notify_all();
  thread_.join();
}

void Listener::note(std::string_view text) {
  output_.note("client " + inQuotes(clientPath_) + ": " + std::string(text));
}

// Network thread: every libmosquitto call after the set-up, and so every callback.
void Listener::run(std::stop_token stop) {
  mosquitto* m = mosquitto_.get();
  // The last failure shown: a broker that stays away is reported once, not at every attempt.
  std::error_code shown;
  while (!stop.stop_requested()) {
    refusal_.clear();
    disconnectReason_.clear();
    connected_ = false;
    pending_.clear();
    std::error_code error = lookUpBroker(stop);
    if (stop.stop_requested()) break;
    if (!error) {
      // Asynchronous: the TCP and TLS handshakes complete in the polls, where a stop is seen.
      error = bracketed([&] {
        return mosquitto_connect_bind_async(m, client_.brokerHost().c_str(), client_.brokerPort(),
                                           client_.keepaliveInterval(), nullptr);
      });
      if (!error || error == mqtt::makeMosquittoError(MOSQ_ERR_CONN_PENDING)) error = serve(stop);
    }
    if (stop.stop_requested()) break;
    if (connected_) {
      note("connection lost: " + data::describeError(error) + "; reconnecting");
      connected_ = false;
      shown.clear();
    } else if (error != shown) {
      note("cannot connect to " + address_ + ": " + data::describeError(error) + "; retrying every " +
           std::to_string(kRetryDelay.count()) + " s");
      shown = error;
    }
    std::unique_lock lock(waitMutex_);
    retry_.wait_for(lock, stop, kRetryDelay, [] { return false; });
  }
  if (!connected_) return;
  // Taking leave, so that the broker drops the session at once.
  bracketed([&] { return mosquitto_disconnect_v5(m, 0, nullptr); });
  for (int i = 0; i < 5; ++i) {
    if (bracketed([&] { return mosquitto_loop(m, kPollMilliseconds, 1); })) break;
  }
}

std::error_code Listener::lookUpBroker(const std::stop_token& stop) {
  std::optional<AddressLookup> lookup;
  try {
    lookup.emplace(client_.brokerHost(), client_.brokerPort());
  } catch (const std::system_error&) {
    return {};  // no thread for it: libmosquitto looks the name up itself
  }
  if (!lookup->wait(stop)) return {};
  return lookup->error();
}

std::error_code Listener::serve(const std::stop_token& stop) {
  mosquitto* m = mosquitto_.get();
  while (!stop.stop_requested()) {
    const auto error = bracketed([&] { return mosquitto_loop(m, kPollMilliseconds, 1); });
    if (!error || error == mqtt::makeMosquittoError(MOSQ_ERR_CONN_PENDING)) continue;
    // The broker's own word says more than the closed socket it leaves.
    if (refusal_) return refusal_;
    if (disconnectReason_) return disconnectReason_;
    return error;
  }
  return {};
}

void Listener::handleConnect(int rc) {
  const int version = client_.mqttVersion();
  if (version == MQTT_PROTOCOL_V31 || version == MQTT_PROTOCOL_V311) {
    if (rc != 0) {
      refusal_ = mqtt::makeConnackError(rc);
      return;
    }
  } else if (rc >= kFirstRefusal) {
    refusal_ = mqtt::makeReasonCodeError(rc);
    return;
  }
  connected_ = true;
  note("connected to " + address_ + " as " + inQuotes(clientId_));
  // QoS 0, as the commands themselves subscribe.
  for (const auto& topic : topics_) {
    int messageId = 0;
    auto error = bracketed(
        [&] { return mosquitto_subscribe_v5(mosquitto_.get(), &messageId, topic.c_str(), 0, 0, nullptr); });
    if (error) {
      note("cannot subscribe to " + inQuotes(topic) + ": " + data::describeError(error));
    } else {
      pending_[messageId] = topic;
    }
  }
}

void Listener::handleDisconnect(int rc) {
  // An MQTT 5 broker's DISCONNECT reason (128 and up); libmosquitto's own results stay below.
  if (rc >= kFirstRefusal) disconnectReason_ = mqtt::makeReasonCodeError(rc);
}

void Listener::handleSubscribe(int messageId, int count, const int* granted) {
  auto it = pending_.find(messageId);
  if (it == pending_.end()) return;
  const int code = count > 0 && granted != nullptr ? granted[0] : kFirstRefusal;
  if (code >= kFirstRefusal) {
    note("subscription to " + inQuotes(it->second) + " refused: " + data::describeError(mqtt::makeReasonCodeError(code)));
  } else {
    note("subscribed to " + inQuotes(it->second));
  }
  pending_.erase(it);
}

void Listener::handleMessage(const mosquitto_message& message) {
  const auto time = now();
  const std::string_view topic(message.topic);
  const char* payload = static_cast<const char*>(message.payload);
  const auto length = message.payloadlen > 0 && payload != nullptr ? static_cast<std::size_t>(message.payloadlen) : 0;
  bool cut = false;
  const std::string payloadText = wellFormed(std::string_view(payload, length), kMaxPayloadText, cut);
  for (const auto& command : commands_) {
    if (command.command->topicName() != topic) continue;
    JsonLine line;
    line.add("type", "message")
        .addTime("time", time)
        .add("client", clientPath_)
        .add("command", command.path)
        .add("topic", wellFormed(topic))
        .add("QoS", message.qos)
        .add("retained", message.retain)
        .add("payload", payloadText)
        .add("payloadBytes", static_cast<std::uint64_t>(length));
    if (cut) line.add("payloadTruncated", true);
    // Read exactly as the command reads it, but each entry's write goes to a stand-in.
    std::string entries = "[";
    try {
      command.command->payload().select(
          payload, length,
          [&entries](const mqtt::CommandPayload::DataPoint& entry, const mqtt::JsonValue* selected,
                     const std::string& failure) {
            if (entries.size() > 1) entries += ',';
            entries += entryJson(entry, selected, failure);
          });
    } catch (const std::exception& e) {
      // Not one JSON document: the command would write nothing and record this text.
      line.add("error", wellFormed(e.what()));
      entries = "[";
    }
    entries += ']';
    line.addRaw("entries", entries);
    output_.line(line.text());
  }
}

}  // namespace corvane::run
