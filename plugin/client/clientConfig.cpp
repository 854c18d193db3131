// Reading a client's configuration object.
#include <limits>
#include <optional>
#include <stdexcept>

#include <corvane/utils/network.hpp>

#include "client/client.hpp"
#include "client/clientId.hpp"
#include "skill/jsonReading.hpp"
#include "topic/topicName.hpp"

namespace corvane::plugins::mqttClient {

namespace decoder = utils::json::decoder;
using decoder::Location;

namespace {

// The largest MQTT remaining length; an old-style will payload is cut to it.
constexpr std::size_t kMaxWillPayload = 0xFFFFFFF;

[[noreturn]] void fail(Location location, const std::string& message) {
  throw decoder::Exception(location, std::runtime_error(message));
}

// Old-style TLS keys, collected while reading and resolved at the end.
struct LegacyTlsSettings {
  bool useTls = false;
  std::optional<Location> caCertificateFile;
  std::optional<Location> caCertificateDirectory;
  std::optional<Location> clientCertificate;
  std::optional<Location> verifyCertificate;
  Client::TlsConfig contents;
};

int readQos(decoder::Value& value, const char* message) {
  auto location = value.location();
  int qos = readInt32(value);
  if (qos < 0 || qos > 2) fail(location, message);
  return qos;
}

// "", ":1883", "[]" and "[]:1883" name no host ("::1" is an IPv6 address without port).
bool namesNoHost(std::string_view address) {
  if (address.empty() || address.starts_with("[]")) return true;
  return address.front() == ':' && address.find(':', 1) == std::string_view::npos;
}

std::string readNonEmpty(decoder::Value& value, const char* emptyMessage) {
  auto location = value.location();
  std::string text(value.asString());
  if (text.empty()) fail(location, emptyMessage);
  return text;
}

// An MQTT string as libmosquitto takes it (client identifier, user name): it refuses what does
// not fit the two-byte length, control characters (U+0000 cuts the C string it is given) and
// non-characters, and the failure would show only when the client is created or connects.
std::string checkMqttString(Location location, std::string text, std::string_view what) {
  auto failWith = [&](std::string_view rule) {
    fail(location, std::string(what) + " for MQTT client must " + std::string(rule));
  };
  if (text.size() > kMaxMqttStringLength) failWith("not be longer than 65535 bytes");
  if (auto refused = findRefusedCharacter(text)) {
    if (refused->control) failWith("not contain control characters (U+0000 to U+001F, U+007F to U+009F)");
    failWith("not contain Unicode non-characters (U+FDD0 to U+FDEF, and U+FFFE and U+FFFF in every plane)");
  }
  return text;
}

Client::BirthMessage readBirth(decoder::Value& value, config::Context& context) {
  auto valueLocation = value.location();
  constexpr std::string_view kKind = "MQTT client birth message";
  Client::BirthMessage birth;
  bool haveTopic = false, havePayload = false;
  auto object = value.asObject();
  for (auto member : object) {
    if (member.name == "topic") {
      auto location = member.value.location();
      birth.topic = member.value.asString();
      validateTopicName(location, birth.topic, kKind);
      haveTopic = true;
    } else if (member.name == "QoS") {
      birth.qos = readQos(member.value, "QoS value for MQTT client birth message must be 0, 1, or 2");
    } else if (member.name == "retained") {
      birth.retained = member.value.asBoolean();
    } else if (member.name == "payload") {
      Payload::load(birth.payload, member.value, context, {kKind, true, false});
      havePayload = true;
    } else if (member.name == "extraAttributes") {
      birth.attributeNames = loadExtraAttributes(member.value, context, {kKind, true, false});
    } else {
      config::throwUnknownParameterError(member.name);
    }
  }
  if (!haveTopic) fail(valueLocation, "missing topic name in MQTT client birth message");
  if (!havePayload) fail(object.location(), "missing payload in MQTT client birth message");
  return birth;
}

Client::WillMessage readWill(decoder::Value& value, config::Context& context) {
  auto valueLocation = value.location();
  constexpr std::string_view kKind = "MQTT client will message";
  Client::WillMessage will;
  bool haveTopic = false, havePayload = false;
  auto object = value.asObject();
  for (auto member : object) {
    if (member.name == "topic") {
      auto location = member.value.location();
      will.topic = member.value.asString();
      validateTopicName(location, will.topic, kKind);
      haveTopic = true;
    } else if (member.name == "QoS") {
      will.qos = readQos(member.value, "QoS value for MQTT client will message must be 0, 1, or 2");
    } else if (member.name == "retained") {
      will.retained = member.value.asBoolean();
    } else if (member.name == "abnormalDisconnectOnly") {
      will.abnormalDisconnectOnly = member.value.asBoolean();
    } else if (member.name == "payload") {
      Payload payload;
      Payload::load(payload, member.value, context, {kKind, false, false});
      will.payload = payload.render({});
      havePayload = true;
    } else {
      config::throwUnknownParameterError(member.name);
    }
  }
  if (!haveTopic) fail(valueLocation, "missing topic name in MQTT client will message");
  if (!havePayload) fail(object.location(), "missing payload in MQTT client will message");
  return will;
}

// The old form refines the current will; without a topic it yields nothing.
std::optional<Client::WillMessage> readLastWill(decoder::Value& value, const std::optional<Client::WillMessage>& current) {
  Client::WillMessage will;
  if (current) will = *current;
  will.abnormalDisconnectOnly = true;
  bool haveTopic = false;
  for (auto member : value.asObject()) {
    if (member.name == "topic") {
      will.topic = readNonEmpty(member.value, "empty topic name for MQTT client will message");
      haveTopic = true;
    } else if (member.name == "qos") {
      will.qos = readQos(member.value, "QoS value for MQTT client will message must be 0, 1, or 2");
    } else if (member.name == "retained") {
      will.retained = member.value.asBoolean();
    } else if (member.name == "payload") {
      std::string_view text = member.value.asString();
      will.payload = std::string(text.substr(0, kMaxWillPayload));
    } else {
      config::throwUnknownParameterError(member.name);
    }
  }
  if (!haveTopic) return std::nullopt;
  return will;
}

}  // namespace

std::string_view mqttVersionName(int level) noexcept {
  switch (level) {
    case 3: return "3";
    case 4: return "3.1.1";
    case 5: return "5";
  }
  return "unsupported MQTT version";
}

void Client::load(decoder::Object object, config::Context& context) {
  std::optional<LegacyTlsSettings> legacy;
  bool haveBrokerAddress = false;
  std::optional<std::uint16_t> addressPort;
  std::optional<Location> passwordLocation;
  constexpr const char* kMixing = "mixing old-style and new-style TLS configuration for MQTT client is not supported";

  auto legacyKey = [&](const decoder::Name& name) -> LegacyTlsSettings& {
    if (tlsConfig_) fail(name.location(), kMixing);
    if (!legacy) legacy.emplace();
    return *legacy;
  };
  auto checkKeepalive = [](Location location, std::int64_t seconds) {
    if (seconds < 5) fail(location, "keepalive interval for MQTT client must be at least 5s");
    // CONNECT carries it in two bytes; libmosquitto refuses every connection attempt beyond.
    if (seconds > 65535) fail(location, "keepalive interval for MQTT client must be at most 65535s");
  };

  for (auto member : object) {
    const auto& name = member.name;
    auto& value = member.value;
    if (name == "clientID" || name == "clientId") {
      auto location = value.location();
      std::string text = readNonEmpty(value, "empty client identifier in MQTT Client");
      clientId_ = checkMqttString(location, std::move(text), "client identifier");
    } else if (name == "MQTTVersion" || name == "mqttVersion") {
      auto location = value.location();
      std::string_view text = value.asString();
      if (text.empty()) fail(location, "empty MQTT version in MQTT Client");
      if (text == "3.1") mqttVersion_ = 3;
      else if (text == "3.1.1") mqttVersion_ = 4;
      else if (text == "5") mqttVersion_ = 5;
      else fail(location, "unsupported MQTT version \"" + std::string(text) + "\" in MQTT client");
    } else if (name == "brokerAddress") {
      auto location = value.location();
      std::string_view text = value.asString();
      // Said in our own words before the address parser gives its more general complaint.
      if (namesNoHost(text)) fail(location, "empty broker address in MQTT Client");
      utils::network::Address::Parts parts;
      try {
        parts = utils::network::Address::split(text);
      } catch (const std::exception& e) {
        throw decoder::Exception(location, e);
      }
      if (parts.host.empty()) fail(location, "empty broker address in MQTT Client");
      brokerHost_ = std::move(parts.host);
      addressPort = parts.port;
      haveBrokerAddress = true;
    } else if (name == "birth") {
      birthMessage_ = readBirth(value, context);
    } else if (name == "will") {
      willMessage_ = readWill(value, context);
    } else if (name == "lastWill") {
      if (auto will = readLastWill(value, willMessage_)) willMessage_ = std::move(*will);
    } else if (name == "username" || name == "userName") {
      auto location = value.location();
      username_ = checkMqttString(location, std::string(value.asString()), "user name");
    } else if (name == "password") {
      passwordLocation = value.location();
      std::string text(value.asString());
      // Binary data in MQTT, but handed to libmosquitto as a C string, which a NUL would cut.
      if (text.size() > kMaxMqttStringLength) {
        fail(*passwordLocation, "password for MQTT client must not be longer than 65535 bytes");
      }
      if (text.find('\0') != std::string::npos) {
        fail(*passwordLocation,
             "password for MQTT client must not contain any embedded null characters (unicode code point 0)");
      }
      password_ = std::move(text);
    } else if (name == "keepaliveInterval") {
      auto location = value.location();
      // Whole seconds, cut rather than rounded: "4.9s" is below the minimum.
      auto seconds = std::chrono::duration_cast<std::chrono::seconds>(value.asDuration<std::chrono::nanoseconds>());
      if (seconds.count() < std::numeric_limits<std::int32_t>::min() ||
          seconds.count() > std::numeric_limits<std::int32_t>::max()) {
        throw decoder::RangeError(location, "time duration out of range");
      }
      checkKeepalive(location, seconds.count());
      keepaliveInterval_ = static_cast<std::int32_t>(seconds.count());
    } else if (name == "keepaliveIntervalS") {
      auto location = value.location();
      keepaliveInterval_ = readInt32(value);
      checkKeepalive(location, keepaliveInterval_);
    } else if (name == "TLS") {
      if (legacy) fail(name.location(), kMixing);
      bool enabled = false;
      std::optional<corvane::security::CertificatePaths> clientCertificate;
      std::optional<Location> clientCertificateLocation, serverCertificateLocation;
      std::optional<std::filesystem::path> serverCertificate;
      bool serverCertificateGiven = false;
      for (auto tls : value.asObject()) {
        if (tls.name == "enabled") {
          enabled = tls.value.asBoolean();
        } else if (tls.name == "clientCertificate") {
          clientCertificateLocation = tls.name.location();
          clientCertificate = corvane::security::CertificatePaths::load(tls.value, context);
        } else if (tls.name == "serverCertificate") {
          serverCertificateLocation = tls.name.location();
          config::Context::ExternalConfigPath path(tls.value);
          serverCertificate = context.findExternalConfig(path, "server certificate path", "server certificate file \"{}\"",
                                                         corvane::security::CertificatePaths::certificateSubdirectory());
          serverCertificateGiven = true;
        } else {
          config::throwUnknownParameterError(tls.name);
        }
      }
      if (enabled) {
        TlsConfig tls;
        if (clientCertificate) tls.clientCertificate = std::move(*clientCertificate);
        tls.serverCertificate = std::move(serverCertificate);
        tlsConfig_ = std::move(tls);
      } else if (clientCertificateLocation) {
        fail(*clientCertificateLocation,
             "client certificate requires \"enabled\" to be true in MQTT client TLS configuration");
      } else if (serverCertificateGiven) {
        fail(*serverCertificateLocation,
             "server certificate requires \"enabled\" to be true in MQTT client TLS configuration");
      } else {
        tlsConfig_.reset();
      }
    } else if (name == "useTLS") {
      legacyKey(name).useTls = value.asBoolean();
    } else if (name == "caCertificateFile") {
      auto& l = legacyKey(name);
      l.contents.caCertificateFile = readNonEmpty(value, "empty CA certificate file path in MQTT Client");
      l.caCertificateFile = name.location();
    } else if (name == "caCertificateDirectory") {
      auto& l = legacyKey(name);
      l.contents.caCertificateDirectory = readNonEmpty(value, "empty CA certificate directory path in MQTT Client");
      l.caCertificateDirectory = name.location();
    } else if (name == "clientCertificate") {
      auto& l = legacyKey(name);
      auto location = value.location();
      std::optional<std::string> certificate, privateKey;
      for (auto field : value.asObject()) {
        if (field.name == "certificateFile") {
          certificate = readNonEmpty(field.value, "empty certificate path");
        } else if (field.name == "privateKeyFile") {
          privateKey = readNonEmpty(field.value, "empty certificate private key path");
        } else {
          config::throwUnknownParameterError(field.name);
        }
      }
      if (!certificate) fail(location, "missing certificate path");
      if (!privateKey) fail(location, "missing certificate private key path");
      auto resolve = [&](const std::string& file) {
        std::filesystem::path path(file);
        return path.is_absolute() ? path : context.baseDirectory() / path;
      };
      l.contents.clientCertificate = corvane::security::CertificatePaths(resolve(*certificate), resolve(*privateKey));
      l.clientCertificate = name.location();
    } else if (name == "verifyCertificate") {
      auto& l = legacyKey(name);
      l.contents.skipVerification = !value.asBoolean();
      l.verifyCertificate = name.location();
    } else if (name == "timeoutMs") {
      value.skip();
    } else {
      config::throwUnknownParameterError(name);
    }
  }

  if (!haveBrokerAddress) fail(object.location(), "missing broker address for MQTT Client");
  if ((mqttVersion_ == 3 || mqttVersion_ == 4) && password_ && !username_) {
    fail(*passwordLocation, "MQTT version " + std::string(mqttVersionName(mqttVersion_)) +
                                " does not support password without username");
  }
  if (legacy && !tlsConfig_) {
    if (!legacy->useTls) {
      if (legacy->caCertificateFile) {
        fail(*legacy->caCertificateFile, "CA certificate file requires \"useTls\" to be true in MQTT client");
      }
      if (legacy->caCertificateDirectory) {
        fail(*legacy->caCertificateDirectory, "CA certificate directory requires \"useTls\" to be true in MQTT client");
      }
      if (legacy->clientCertificate) {
        fail(*legacy->clientCertificate, "client certificate requires \"useTls\" to be true in MQTT client");
      }
      if (legacy->verifyCertificate) {
        fail(*legacy->verifyCertificate, "verify certificate option requires \"useTls\" to be true in MQTT client");
      }
    }
    auto& contents = legacy->contents;
    // The system's own store directory means "use the system store".
    if (contents.caCertificateDirectory && !contents.caCertificateFile &&
        (*contents.caCertificateDirectory == "/etc/ssl/certs" || *contents.caCertificateDirectory == "/etc/ssl/certs/")) {
      contents.caCertificateDirectory.reset();
    }
    if (legacy->useTls) tlsConfig_ = std::move(contents);
  }
  brokerPort_ = addressPort ? *addressPort : (tlsConfig_ ? 8883 : 1883);
  if (clientId_.empty()) clientId_ = generateClientId(*this);
}

}  // namespace corvane::plugins::mqttClient
