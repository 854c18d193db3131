// Reading a client's configuration object: every key and spelling, the defaults, and each
// configuration error with its text and its place in the model file.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include <corvane/runtime.hpp>

#include "clientModel.hpp"
#include "tempDir.hpp"

namespace corvane::plugins::mqttClient::testing {
namespace {

struct LoadCase {
  const char* name;
  std::string config;
  std::function<void(const Client&)> check;
};

void expectPlainDefaults(const Client& c) {
  EXPECT_EQ(c.mqttVersion(), 5);
  EXPECT_EQ(c.brokerHost(), "h");
  EXPECT_EQ(c.brokerPort(), 1883);
  EXPECT_EQ(c.keepaliveInterval(), 60);
  EXPECT_FALSE(c.tlsConfig());
  EXPECT_FALSE(c.username());
  EXPECT_FALSE(c.password());
  EXPECT_FALSE(c.birthMessage());
  EXPECT_FALSE(c.willMessage());
  EXPECT_EQ(c.clientId().size(), 23u);
  EXPECT_TRUE(c.clientId().starts_with("CORV0"));
}

TEST(ClientConfig, ReadsEveryKeyAndSpelling) {
  corvane::testing::TempDir directory;
  const auto pinned = directory.writeFile("pinned.pem", "not read before prepare");
  std::filesystem::create_directory(directory / "certificates");
  const auto certificate = directory.writeFile("certificates/c.pem", "");
  const auto key = directory.writeFile("k.pem", "");
  const LoadCase cases[] = {
      {"broker address alone: defaults everywhere", R"({"brokerAddress": "h"})", expectPlainDefaults},
      {"timeoutMs is accepted and changes nothing", R"({"brokerAddress": "h", "timeoutMs": {"any": [1]}})",
       expectPlainDefaults},
      {"TLS object without enabled: no TLS", R"({"brokerAddress": "h", "TLS": {}})", expectPlainDefaults},
      {"old-style TLS gives port 8883", R"({"brokerAddress": "h", "useTLS": true})",
       [](const Client& c) {
         EXPECT_EQ(c.brokerPort(), 8883);
         ASSERT_TRUE(c.tlsConfig());
         EXPECT_FALSE(c.tlsConfig()->caCertificateFile);
         EXPECT_FALSE(c.tlsConfig()->caCertificateDirectory);
         EXPECT_FALSE(c.tlsConfig()->serverCertificate);
         EXPECT_TRUE(c.tlsConfig()->clientCertificate.empty());
         EXPECT_FALSE(c.tlsConfig()->skipVerification);
       }},
      {"an explicit port stays without TLS", R"({"brokerAddress": "h:1884"})",
       [](const Client& c) { EXPECT_EQ(c.brokerPort(), 1884); }},
      {"IPv6 address without port", R"({"brokerAddress": "::1"})",
       [](const Client& c) {
         EXPECT_EQ(c.brokerHost(), "::1");
         EXPECT_EQ(c.brokerPort(), 1883);
       }},
      {"IPv6 address with port", R"({"brokerAddress": "[::1]:1884"})",
       [](const Client& c) {
         EXPECT_EQ(c.brokerHost(), "::1");
         EXPECT_EQ(c.brokerPort(), 1884);
       }},
      {"an explicit port stays with TLS", R"({"brokerAddress": "h:1884", "useTLS": true})",
       [](const Client& c) { EXPECT_EQ(c.brokerPort(), 1884); }},
      {"new-style TLS", R"({"brokerAddress": "h", "TLS": {"enabled": true}})",
       [](const Client& c) {
         EXPECT_EQ(c.brokerPort(), 8883);
         ASSERT_TRUE(c.tlsConfig());
         EXPECT_FALSE(c.tlsConfig()->serverCertificate);
         EXPECT_TRUE(c.tlsConfig()->clientCertificate.empty());
       }},
      {"new-style server certificate found next to the model",
       R"({"brokerAddress": "h", "TLS": {"enabled": true, "serverCertificate": "pinned.pem"}})",
       [&](const Client& c) {
         ASSERT_TRUE(c.tlsConfig());
         EXPECT_EQ(c.tlsConfig()->serverCertificate, pinned);
       }},
      {"new-style client certificate, looked up beside the model and in its certificates directory",
       R"({"brokerAddress": "h", "TLS": {"enabled": true, "clientCertificate": {"certificateFile": "c.pem", "privateKeyFile": "k.pem"}}})",
       [&](const Client& c) {
         ASSERT_TRUE(c.tlsConfig());
         EXPECT_EQ(c.tlsConfig()->clientCertificate.certificatePath(), certificate);
         EXPECT_EQ(c.tlsConfig()->clientCertificate.privateKeyPath(), key);
       }},
      {"disabled TLS object, then old-style keys", R"({"brokerAddress": "h", "TLS": {"enabled": false}, "useTLS": true})",
       [](const Client& c) { EXPECT_TRUE(c.tlsConfig()); }},
      {"old-style settings", R"({"brokerAddress": "h", "useTLS": true, "caCertificateFile": "/ca.pem",
          "caCertificateDirectory": "/cas", "verifyCertificate": false,
          "clientCertificate": {"certificateFile": "/c.pem", "privateKeyFile": "/k.pem"}})",
       [](const Client& c) {
         ASSERT_TRUE(c.tlsConfig());
         EXPECT_EQ(c.tlsConfig()->caCertificateFile, "/ca.pem");
         EXPECT_EQ(c.tlsConfig()->caCertificateDirectory, "/cas");
         EXPECT_TRUE(c.tlsConfig()->skipVerification);
         EXPECT_EQ(c.tlsConfig()->clientCertificate.certificatePath(), "/c.pem");
         EXPECT_EQ(c.tlsConfig()->clientCertificate.privateKeyPath(), "/k.pem");
       }},
      // The system's own certificate directory means the system store.
      {"system CA directory dropped", R"({"brokerAddress": "h", "useTLS": true, "caCertificateDirectory": "/etc/ssl/certs/"})",
       [](const Client& c) { EXPECT_FALSE(c.tlsConfig()->caCertificateDirectory); }},
      {"system CA directory without slash dropped",
       R"({"brokerAddress": "h", "useTLS": true, "caCertificateDirectory": "/etc/ssl/certs"})",
       [](const Client& c) { EXPECT_FALSE(c.tlsConfig()->caCertificateDirectory); }},
      {"system CA directory kept beside a CA file",
       R"({"brokerAddress": "h", "useTLS": true, "caCertificateDirectory": "/etc/ssl/certs", "caCertificateFile": "/ca.pem"})",
       [](const Client& c) { EXPECT_EQ(c.tlsConfig()->caCertificateDirectory, "/etc/ssl/certs"); }},
      {"MQTTVersion 3.1", R"({"brokerAddress": "h", "MQTTVersion": "3.1"})",
       [](const Client& c) { EXPECT_EQ(c.mqttVersion(), 3); }},
      {"mqttVersion 3.1.1", R"({"brokerAddress": "h", "mqttVersion": "3.1.1"})",
       [](const Client& c) { EXPECT_EQ(c.mqttVersion(), 4); }},
      {"the later of two keys wins", R"({"brokerAddress": "h", "mqttVersion": "3.1", "MQTTVersion": "5"})",
       [](const Client& c) { EXPECT_EQ(c.mqttVersion(), 5); }},
      {"clientID", R"({"brokerAddress": "h", "clientID": "a-configured-identifier-longer-than-23"})",
       [](const Client& c) { EXPECT_EQ(c.clientId(), "a-configured-identifier-longer-than-23"); }},
      {"clientId", R"({"brokerAddress": "h", "clientId": "x"})", [](const Client& c) { EXPECT_EQ(c.clientId(), "x"); }},
      {"empty user name and password count as given", R"({"brokerAddress": "h", "userName": "", "password": ""})",
       [](const Client& c) {
         EXPECT_EQ(c.username(), "");
         EXPECT_EQ(c.password(), "");
       }},
      {"username", R"({"brokerAddress": "h", "username": "u"})", [](const Client& c) { EXPECT_EQ(c.username(), "u"); }},
      {"MQTT 5 takes a password without user name", R"({"brokerAddress": "h", "password": "p"})",
       [](const Client& c) {
         EXPECT_EQ(c.password(), "p");
         EXPECT_FALSE(c.username());
       }},
      {"keepalive duration", R"({"brokerAddress": "h", "keepaliveInterval": "2min"})",
       [](const Client& c) { EXPECT_EQ(c.keepaliveInterval(), 120); }},
      {"keepalive bare number counts seconds", R"({"brokerAddress": "h", "keepaliveInterval": 7.9})",
       [](const Client& c) { EXPECT_EQ(c.keepaliveInterval(), 7); }},
      {"keepalive of 5 seconds", R"({"brokerAddress": "h", "keepaliveIntervalS": 5})",
       [](const Client& c) { EXPECT_EQ(c.keepaliveInterval(), 5); }},
      {"birth", R"({"brokerAddress": "h", "birth": {"topic": "b", "payload": "up", "QoS": 1.7, "retained": true,
          "extraAttributes": ["unit"]}})",
       [](const Client& c) {
         ASSERT_TRUE(c.birthMessage());
         EXPECT_EQ(c.birthMessage()->topic, "b");
         EXPECT_EQ(c.birthMessage()->qos, 1);
         EXPECT_TRUE(c.birthMessage()->retained);
         EXPECT_EQ(c.birthMessage()->attributeNames, (std::vector<std::string>{"value", "quality", "unit"}));
       }},
      {"birth defaults", R"({"brokerAddress": "h", "birth": {"topic": "b", "payload": "up"}})",
       [](const Client& c) {
         EXPECT_EQ(c.birthMessage()->qos, 0);
         EXPECT_FALSE(c.birthMessage()->retained);
         EXPECT_EQ(c.birthMessage()->attributeNames, (std::vector<std::string>{"value", "quality"}));
       }},
      {"will, rendered once", R"({"brokerAddress": "h", "will": {"topic": "w", "payload": {"@JSON": {"up": false}}}})",
       [](const Client& c) {
         ASSERT_TRUE(c.willMessage());
         EXPECT_EQ(c.willMessage()->topic, "w");
         EXPECT_EQ(c.willMessage()->payload, R"({"up":false})");
         EXPECT_EQ(c.willMessage()->qos, 0);
         EXPECT_FALSE(c.willMessage()->retained);
         EXPECT_FALSE(c.willMessage()->abnormalDisconnectOnly);
       }},
      {"will with every member", R"({"brokerAddress": "h", "will": {"topic": "w", "payload": "bye", "QoS": 2,
          "retained": true, "abnormalDisconnectOnly": true}})",
       [](const Client& c) {
         EXPECT_EQ(c.willMessage()->qos, 2);
         EXPECT_TRUE(c.willMessage()->retained);
         EXPECT_TRUE(c.willMessage()->abnormalDisconnectOnly);
       }},
      {"old-form will", R"({"brokerAddress": "h", "lastWill": {"topic": "a/+", "payload": "{\"x\": 1}", "qos": 1, "retained": true}})",
       [](const Client& c) {
         ASSERT_TRUE(c.willMessage());
         EXPECT_EQ(c.willMessage()->topic, "a/+");  // no topic-name rules in the old form
         EXPECT_EQ(c.willMessage()->payload, "{\"x\": 1}");
         EXPECT_EQ(c.willMessage()->qos, 1);
         EXPECT_TRUE(c.willMessage()->retained);
         EXPECT_TRUE(c.willMessage()->abnormalDisconnectOnly);
       }},
      {"old form without topic leaves the will as it was",
       R"({"brokerAddress": "h", "will": {"topic": "w", "payload": "bye", "QoS": 1}, "lastWill": {"payload": "other"}})",
       [](const Client& c) {
         EXPECT_EQ(c.willMessage()->topic, "w");
         EXPECT_EQ(c.willMessage()->payload, "bye");
         EXPECT_FALSE(c.willMessage()->abnormalDisconnectOnly);
       }},
      {"old form with topic refines the will",
       R"({"brokerAddress": "h", "will": {"topic": "w", "payload": "bye", "QoS": 1, "retained": true}, "lastWill": {"topic": "w2"}})",
       [](const Client& c) {
         EXPECT_EQ(c.willMessage()->topic, "w2");
         EXPECT_EQ(c.willMessage()->payload, "bye");
         EXPECT_EQ(c.willMessage()->qos, 1);
         EXPECT_TRUE(c.willMessage()->retained);
         EXPECT_TRUE(c.willMessage()->abnormalDisconnectOnly);
       }},
      {"a later new-form will replaces the old one",
       R"({"brokerAddress": "h", "lastWill": {"topic": "w", "payload": "old", "qos": 2}, "will": {"topic": "n", "payload": "new"}})",
       [](const Client& c) {
         EXPECT_EQ(c.willMessage()->payload, "new");
         EXPECT_EQ(c.willMessage()->qos, 0);
         EXPECT_FALSE(c.willMessage()->abnormalDisconnectOnly);
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    corvane::runtime::Model model;
    try {
      model.loadText(clientModelText(c.config), directory.path(), "m.json");
    } catch (const std::exception& e) {
      ADD_FAILURE() << e.what();
      continue;
    }
    c.check(dynamic_cast<const Client&>(*model.skillElement("broker")));
  }
}

struct ErrorCase {
  const char* name;
  std::string config;
  std::string at;  // the text that starts where the error is located (its first occurrence)
  std::string message;
};

TEST(ClientConfig, RejectsMistakesWhereTheyAre) {
  const std::string clientCertificate = R"({"certificateFile": "c", "privateKeyFile": "k"})";
  const std::string tooLong(65536, 'x');
  const std::string kIdControl =
      "client identifier for MQTT client must not contain control characters (U+0000 to U+001F, U+007F to U+009F)";
  const std::string kKeepalive = "keepalive interval for MQTT client must be at most 65535s";
  const ErrorCase cases[] = {
      {"no broker address", R"({"clientID": "x"})", R"({"clientID")", "missing broker address for MQTT Client"},
      {"empty object", "{}", "{}", "missing broker address for MQTT Client"},
      {"empty broker address", R"({"brokerAddress": ""})", R"("")", "empty broker address in MQTT Client"},
      {"broker port without host", R"({"brokerAddress": ":1883"})", R"(":1883")", "empty broker address in MQTT Client"},
      {"empty IPv6 brackets", R"({"brokerAddress": "[]:1883"})", R"("[]:1883")", "empty broker address in MQTT Client"},
      {"malformed port: the address parser's own words", R"({"brokerAddress": "h:x"})", R"("h:x")",
       "invalid port number \"x\" in address \"h:x\" (expected 1 to 65535)"},
      {"unknown key", R"({"brokerAddress": "h", "timeout": 1})", R"("timeout")", "unknown parameter \"timeout\""},
      {"useTls is not useTLS", R"({"brokerAddress": "h", "useTls": true})", R"("useTls")",
       "unknown parameter \"useTls\""},
      {"empty client identifier", R"({"brokerAddress": "h", "clientID": ""})", R"("")",
       "empty client identifier in MQTT Client"},
      {"empty MQTT version", R"({"brokerAddress": "h", "MQTTVersion": ""})", R"("")", "empty MQTT version in MQTT Client"},
      {"version 3", R"({"brokerAddress": "h", "MQTTVersion": "3"})", R"("3")",
       "unsupported MQTT version \"3\" in MQTT client"},
      {"version 5.0", R"({"brokerAddress": "h", "mqttVersion": "5.0"})", R"("5.0")",
       "unsupported MQTT version \"5.0\" in MQTT client"},
      {"password without user name under 3.1", R"({"brokerAddress": "h", "MQTTVersion": "3.1", "password": "p"})",
       R"("p")", "MQTT version 3 does not support password without username"},
      {"password without user name under 3.1.1", R"({"password": "p", "brokerAddress": "h", "MQTTVersion": "3.1.1"})",
       R"("p")", "MQTT version 3.1.1 does not support password without username"},
      {"keepalive of 4 seconds", R"({"brokerAddress": "h", "keepaliveInterval": 4})", "4}",
       "keepalive interval for MQTT client must be at least 5s"},
      {"keepalive just under 5 seconds", R"({"brokerAddress": "h", "keepaliveInterval": "4999ms"})", R"("4999ms")",
       "keepalive interval for MQTT client must be at least 5s"},
      {"negative keepalive", R"({"brokerAddress": "h", "keepaliveIntervalS": -60})", "-60",
       "keepalive interval for MQTT client must be at least 5s"},
      {"keepalive beyond 32 bits", R"({"brokerAddress": "h", "keepaliveInterval": "2147483648s"})", R"("2147)",
       "time duration out of range"},
      {"keepalive seconds beyond 32 bits", R"({"brokerAddress": "h", "keepaliveIntervalS": 2147483648})", "2147",
       "number out of range for 32-bit integer"},
      {"mixing: TLS after useTLS", R"({"brokerAddress": "h", "useTLS": true, "TLS": {"enabled": true}})", R"("TLS")",
       "mixing old-style and new-style TLS configuration for MQTT client is not supported"},
      {"mixing: old-style key after enabled TLS", R"({"brokerAddress": "h", "TLS": {"enabled": true}, "caCertificateFile": "a"})",
       R"("caCertificateFile")", "mixing old-style and new-style TLS configuration for MQTT client is not supported"},
      {"mixing: even a disabled old-style key", R"({"brokerAddress": "h", "useTLS": false, "TLS": {}})", R"("TLS")",
       "mixing old-style and new-style TLS configuration for MQTT client is not supported"},
      {"new-style client certificate needs enabled", R"({"brokerAddress": "h", "TLS": {"clientCertificate": {"certificateFile": "c.pem", "privateKeyFile": "k.pem"}}})",
       R"("clientCertificate")", "client certificate requires \"enabled\" to be true in MQTT client TLS configuration"},
      {"new-style client certificate named before the server certificate",
       R"({"brokerAddress": "h", "TLS": {"serverCertificate": "pinned.pem", "enabled": false, "clientCertificate": {"certificateFile": "c.pem", "privateKeyFile": "k.pem"}}})",
       R"("clientCertificate")", "client certificate requires \"enabled\" to be true in MQTT client TLS configuration"},
      {"new-style server certificate needs enabled", R"({"brokerAddress": "h", "TLS": {"serverCertificate": "pinned.pem"}})",
       R"("serverCertificate")", "server certificate requires \"enabled\" to be true in MQTT client TLS configuration"},
      {"unknown TLS member", R"({"brokerAddress": "h", "TLS": {"enable": true}})", R"("enable")",
       "unknown parameter \"enable\""},
      {"CA file without useTLS", R"({"brokerAddress": "h", "caCertificateFile": "a"})", R"("caCertificateFile")",
       "CA certificate file requires \"useTls\" to be true in MQTT client"},
      {"CA directory with useTLS false", R"({"brokerAddress": "h", "caCertificateDirectory": "d", "useTLS": false})",
       R"("caCertificateDirectory")", "CA certificate directory requires \"useTls\" to be true in MQTT client"},
      {"client certificate without useTLS", R"({"brokerAddress": "h", "clientCertificate": )" + clientCertificate + "}",
       R"("clientCertificate")", "client certificate requires \"useTls\" to be true in MQTT client"},
      {"verifyCertificate alone", R"({"brokerAddress": "h", "verifyCertificate": true})", R"("verifyCertificate")",
       "verify certificate option requires \"useTls\" to be true in MQTT client"},
      {"the CA file is named first whatever the order",
       R"({"brokerAddress": "h", "verifyCertificate": true, "caCertificateFile": "a"})", R"("caCertificateFile")",
       "CA certificate file requires \"useTls\" to be true in MQTT client"},
      {"empty CA file", R"({"brokerAddress": "h", "caCertificateFile": ""})", R"("")",
       "empty CA certificate file path in MQTT Client"},
      {"empty CA directory", R"({"brokerAddress": "h", "caCertificateDirectory": ""})", R"("")",
       "empty CA certificate directory path in MQTT Client"},
      {"client certificate without files", R"({"brokerAddress": "h", "useTLS": true, "clientCertificate": {}})", "{}",
       "missing certificate path"},
      {"client certificate without key", R"({"brokerAddress": "h", "useTLS": true, "clientCertificate": {"certificateFile": "c"}})",
       R"({"certificateFile")", "missing certificate private key path"},
      {"empty certificate path", R"({"brokerAddress": "h", "useTLS": true, "clientCertificate": {"certificateFile": ""}})",
       R"("")", "empty certificate path"},
      {"empty key path", R"({"brokerAddress": "h", "useTLS": true, "clientCertificate": {"privateKeyFile": ""}})", R"("")",
       "empty certificate private key path"},
      {"unknown client certificate member",
       R"({"brokerAddress": "h", "useTLS": true, "clientCertificate": {"keyFile": "k"}})", R"("keyFile")",
       "unknown parameter \"keyFile\""},
      {"birth without topic", R"({"brokerAddress": "h", "birth": {"payload": "up"}})", R"({"payload")",
       "missing topic name in MQTT client birth message"},
      {"empty birth", R"({"brokerAddress": "h", "birth": {}})", "{}", "missing topic name in MQTT client birth message"},
      {"birth without payload", R"({"brokerAddress": "h", "birth": {"topic": "b"}})", R"({"topic")",
       "missing payload in MQTT client birth message"},
      {"birth QoS 3", R"({"brokerAddress": "h", "birth": {"topic": "b", "payload": "up", "QoS": 3}})", "3}",
       "QoS value for MQTT client birth message must be 0, 1, or 2"},
      {"birth QoS -1", R"({"brokerAddress": "h", "birth": {"topic": "b", "payload": "up", "QoS": -1}})", "-1",
       "QoS value for MQTT client birth message must be 0, 1, or 2"},
      {"birth topic with a wildcard", R"({"brokerAddress": "h", "birth": {"topic": "b/#", "payload": "up"}})",
       R"("b/#")", "topic name for MQTT client birth message must not contain the characters \"+\" or \"#\""},
      {"unknown birth member", R"({"brokerAddress": "h", "birth": {"topic": "b", "payload": "up", "qos": 1}})",
       R"("qos")", "unknown parameter \"qos\""},
      {"will without topic", R"({"brokerAddress": "h", "will": {"payload": "bye"}})", R"({"payload")",
       "missing topic name in MQTT client will message"},
      {"will without payload", R"({"brokerAddress": "h", "will": {"topic": "w"}})", R"({"topic")",
       "missing payload in MQTT client will message"},
      {"will QoS", R"({"brokerAddress": "h", "will": {"topic": "w", "payload": "x", "QoS": 3}})", "3}",
       "QoS value for MQTT client will message must be 0, 1, or 2"},
      {"will topic /", R"({"brokerAddress": "h", "will": {"topic": "/", "payload": "x"}})", R"("/")",
       "topic name for MQTT client will message must not consist of a single forward slash (\"/\")"},
      {"will payload reading a data point", R"({"brokerAddress": "h", "will": {"topic": "w", "payload": {"@DataPoint": "p"}}})",
       R"("@DataPoint")", "MQTT client will message payload does not support data point elements"},
      {"old-form will with empty topic", R"({"brokerAddress": "h", "lastWill": {"topic": ""}})", R"("")",
       "empty topic name for MQTT client will message"},
      {"old-form will QoS", R"({"brokerAddress": "h", "lastWill": {"topic": "w", "qos": 3}})", "3}",
       "QoS value for MQTT client will message must be 0, 1, or 2"},
      {"old-form will spells qos in lower case", R"({"brokerAddress": "h", "lastWill": {"topic": "w", "QoS": 1}})",
       R"("QoS")", "unknown parameter \"QoS\""},
      // libmosquitto would cut both at the NUL: two clients "dup" that take over each other's connection.
      {"identifier with a NUL", R"({"brokerAddress": "h", "clientID": "dup\u0000one"})", R"("dup)", kIdControl},
      {"identifier with a newline", R"({"brokerAddress": "h", "clientId": "a\nb"})", R"("a\nb")", kIdControl},
      {"identifier with the last C1 control", R"({"brokerAddress": "h", "clientID": "a\u009f"})", R"("a\u)",
       kIdControl},
      {"identifier with a non-character beyond the first plane",
       R"({"brokerAddress": "h", "clientID": "\ud83f\udfff"})", R"("\u)",
       "client identifier for MQTT client must not contain Unicode non-characters (U+FDD0 to U+FDEF, and U+FFFE "
       "and U+FFFF in every plane)"},
      {"identifier one byte too long", R"({"brokerAddress": "h", "clientID": ")" + tooLong + R"("})", R"("xx)",
       "client identifier for MQTT client must not be longer than 65535 bytes"},
      {"user name with a tab", R"({"brokerAddress": "h", "userName": "u\tv"})", R"("u\t)",
       "user name for MQTT client must not contain control characters (U+0000 to U+001F, U+007F to U+009F)"},
      {"user name one byte too long", R"({"brokerAddress": "h", "username": ")" + tooLong + R"("})", R"("xx)",
       "user name for MQTT client must not be longer than 65535 bytes"},
      {"password with a NUL", R"({"brokerAddress": "h", "username": "u", "password": "p\u0000q"})", R"("p\u)",
       "password for MQTT client must not contain any embedded null characters (unicode code point 0)"},
      {"password one byte too long", R"({"brokerAddress": "h", "password": ")" + tooLong + R"("})", R"("xx)",
       "password for MQTT client must not be longer than 65535 bytes"},
      {"keepalive of 19 hours", R"({"brokerAddress": "h", "keepaliveInterval": "19h"})", R"("19h")", kKeepalive},
      {"keepalive seconds one too many", R"({"brokerAddress": "h", "keepaliveIntervalS": 65536})", "65536",
       kKeepalive},
  };
  corvane::testing::TempDir directory;
  for (const char* file : {"pinned.pem", "c.pem", "k.pem"}) directory.writeFile(file, "");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto at = c.config.find(c.at);
    ASSERT_NE(at, std::string::npos) << "bad row: " << c.at;
    const std::string expected = "m.json:2:" + std::to_string(at + 1) + ": " + c.message + " (element \"broker\")";
    corvane::runtime::Model model;
    try {
      model.loadText(clientModelText(c.config), directory.path(), "m.json");
      ADD_FAILURE() << "loaded";
    } catch (const corvane::runtime::ModelError& e) {
      EXPECT_EQ(e.what(), expected);
    }
  }
}

// At the edges of what load refuses (RejectsMistakesWhereTheyAre): libmosquitto takes these when
// prepare hands it identifier, user name and password.
TEST(ClientConfig, WhatLoadTakesLibmosquittoTakes) {
  const std::string longest(65535, 'x');
  const std::string cases[] = {
      R"({"brokerAddress": "h", "clientID": ")" + longest + R"(", "username": ")" + longest + R"("})",
      R"({"brokerAddress": "h", "password": ")" + longest + R"("})",
      // After the C1 controls, around the non-characters, beyond the first plane.
      R"({"brokerAddress": "h", "clientID": "\u00a0\ufdcf\ufdf0\ufffd\ud800\udc00", "username": "\u00a0"})",
      // Binary data in MQTT: only a NUL would cut it.
      R"({"brokerAddress": "h", "username": "u", "password": "p\nq\u0001", "keepaliveInterval": "65535s"})"};
  corvane::testing::TempDir directory;
  for (const auto& config : cases) {
    corvane::runtime::Model model;
    EXPECT_NO_THROW({
      model.loadText(clientModelText(config), directory.path(), "m.json");
      model.realizeAndPrepare();
    }) << config.substr(0, 100);
  }
}

}  // namespace
}  // namespace corvane::plugins::mqttClient::testing
