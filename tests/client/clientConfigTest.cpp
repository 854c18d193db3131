// Reading a client's configuration object (every key and spelling, the defaults, each error with
// its text and place in the model file) and what the runtime sees of a client and its children.
#include <gtest/gtest.h>

#include "clientModel.hpp"
#include "command/command.hpp"
#include "errors/customError.hpp"
#include "skill/attributes.hpp"
#include "tempDir.hpp"
#include "topic/topic.hpp"

namespace corvane::plugins::mqttClient {
namespace {

using namespace corvane::testing;
using corvane::data::Value;

// A client configuration of a broker "h": `members` that name no broker address follow it; an
// object stands for itself.
std::string config(const std::string& members) {
  if (members.starts_with("{")) return members;
  if (members.starts_with("\"brokerAddress\"")) return "{" + members + "}";
  return R"({"brokerAddress": "h")" + (members.empty() ? "" : ", " + members) + "}";
}

// The client's settings in one line; a generated identifier shows as "generated".
std::string settings(const Client& c) {
  auto path = [](const auto& p) { return p ? " " + std::string(*p) : std::string(" -"); };
  std::string s = "v" + std::to_string(c.mqttVersion()) + " " + c.brokerHost() + ":" + std::to_string(c.brokerPort()) +
                  " ka" + std::to_string(c.keepaliveInterval()) + " id " +
                  (c.clientId().starts_with("CORV0") && c.clientId().size() == 23 ? "generated" : c.clientId());
  if (const auto& t = c.tlsConfig()) {
    s += " tls[" + path(t->caCertificateFile) + path(t->caCertificateDirectory) +
         path(t->serverCertificate) + " " +
         t->clientCertificate.certificatePath().string() + " " + t->clientCertificate.privateKeyPath().string() +
         (t->skipVerification ? " noverify" : "") + "]";
  }
  if (c.username()) s += " user=" + *c.username();
  if (c.password()) s += " pass=" + *c.password();
  if (const auto& b = c.birthMessage()) {
    s += " birth[" + b->topic + " q" + std::to_string(b->qos) + (b->retained ? " retained" : "");
    for (const auto& name : b->attributeNames) s += " " + name;
    s += "]";
  }
  if (const auto& w = c.willMessage()) {
    s += " will[" + w->topic + " " + w->payload + " q" + std::to_string(w->qos) + (w->retained ? " retained" : "") +
         (w->abnormalDisconnectOnly ? " abnormal" : "") + "]";
  }
  return s;
}

TEST(ClientConfig, ReadsEveryKeyAndSpelling) {
  TempDir directory;
  const auto pinned = directory.writeFile("pinned.pem", "not read before prepare").string();
  std::filesystem::create_directory(directory / "certificates");
  const auto certificate = directory.writeFile("certificates/c.pem", "").string();
  const auto key = directory.writeFile("k.pem", "").string();
  const std::pair<std::string, std::string> kCases[] = {
      {"", "v5 h:1883 ka60 id generated"},
      {R"("TLS": {})", "v5 h:1883 ka60 id generated"},
      {R"("useTLS": true)", "v5 h:8883 ka60 id generated tls[ - - -  ]"},
      {R"("brokerAddress": "h:1884", "timeoutMs": {"any": [1]})", "v5 h:1884 ka60 id generated"},  // timeoutMs: ignored
      {R"("brokerAddress": "::1")", "v5 ::1:1883 ka60 id generated"},
      {R"("brokerAddress": "[::1]:1884", "useTLS": true)", "v5 ::1:1884 ka60 id generated tls[ - - -  ]"},
      {R"("TLS": {"enabled": true})", "v5 h:8883 ka60 id generated tls[ - - -  ]"},
      // Certificate files are found beside the model and in its certificates directory.
      {R"("TLS": {"enabled": true, "serverCertificate": "pinned.pem",
                  "clientCertificate": {"certificateFile": "c.pem", "privateKeyFile": "k.pem"}})",
       "v5 h:8883 ka60 id generated tls[ - - " + pinned + " " + certificate + " " + key + "]"},
      {R"("TLS": {"enabled": false}, "useTLS": true)", "v5 h:8883 ka60 id generated tls[ - - -  ]"},
      {R"("useTLS": true, "caCertificateFile": "/ca.pem", "caCertificateDirectory": "/cas", "verifyCertificate": false,
          "clientCertificate": {"certificateFile": "/c.pem", "privateKeyFile": "/k.pem"})",
       "v5 h:8883 ka60 id generated tls[ /ca.pem /cas - /c.pem /k.pem noverify]"},
      // The system's own certificate directory means the system store, unless a CA file is named.
      {R"("useTLS": true, "caCertificateDirectory": "/etc/ssl/certs/")", "v5 h:8883 ka60 id generated tls[ - - -  ]"},
      {R"("useTLS": true, "caCertificateDirectory": "/etc/ssl/certs", "caCertificateFile": "/ca.pem")",
       "v5 h:8883 ka60 id generated tls[ /ca.pem /etc/ssl/certs -  ]"},
      {R"("MQTTVersion": "3.1")", "v3 h:1883 ka60 id generated"},
      {R"("mqttVersion": "3.1.1", "keepaliveIntervalS": 5)", "v4 h:1883 ka5 id generated"},
      {R"("mqttVersion": "3.1", "MQTTVersion": "5")", "v5 h:1883 ka60 id generated"},  // the later key wins
      {R"("clientId": "configured-longer-than-23", "userName": "", "password": "")",
       "v5 h:1883 ka60 id configured-longer-than-23 user= pass="},
      {R"("username": "u", "keepaliveInterval": "2min")", "v5 h:1883 ka120 id generated user=u"},
      // MQTT 5 takes a password without user name.
      {R"("password": "p", "keepaliveInterval": 7.9)", "v5 h:1883 ka7 id generated pass=p"},
      {R"("birth": {"topic": "b", "payload": "up", "QoS": 1.7, "retained": true, "extraAttributes": ["unit"]})",
       "v5 h:1883 ka60 id generated birth[b q1 retained value quality unit]"},
      {R"("birth": {"topic": "b", "payload": "up"})", "v5 h:1883 ka60 id generated birth[b q0 value quality]"},
      // A will is rendered once.
      {R"("will": {"topic": "w", "payload": {"@JSON": {"up": false}}})",
       R"(v5 h:1883 ka60 id generated will[w {"up":false} q0])"},
      {R"("will": {"topic": "w", "payload": "bye", "QoS": 2, "retained": true, "abnormalDisconnectOnly": true})",
       "v5 h:1883 ka60 id generated will[w bye q2 retained abnormal]"},
      // The old form applies no topic-name rules and is always for abnormal disconnections only.
      {R"("lastWill": {"topic": "a/+", "payload": "{\"x\": 1}", "qos": 1, "retained": true})",
       R"(v5 h:1883 ka60 id generated will[a/+ {"x": 1} q1 retained abnormal])"},
      // Without a topic it leaves the will as it was; with one it refines it.
      {R"("will": {"topic": "w", "payload": "bye", "QoS": 1}, "lastWill": {"payload": "other"})",
       "v5 h:1883 ka60 id generated will[w bye q1]"},
      {R"("will": {"topic": "w", "payload": "bye", "QoS": 1, "retained": true}, "lastWill": {"topic": "w2"})",
       "v5 h:1883 ka60 id generated will[w2 bye q1 retained abnormal]"},
      {R"("lastWill": {"topic": "w", "payload": "old", "qos": 2}, "will": {"topic": "n", "payload": "new"})",
       "v5 h:1883 ka60 id generated will[n new q0]"},
  };
  for (const auto& [members, expected] : kCases) {
    try {
      ClientModel m(config(members), {}, {}, directory.path());
      EXPECT_EQ(settings(m.client()), expected) << members;
    } catch (const std::exception& e) {
      ADD_FAILURE() << members << ": " << e.what();
    }
  }
}

TEST(ClientConfig, RejectsMistakesWhereTheyAre) {
  const std::string tooLong(65536, 'x');
  const std::string kControl = " must not contain control characters (U+0000 to U+001F, U+007F to U+009F)";
  const std::string kKeepalive = "keepalive interval for MQTT client must be at least 5s";
  const std::string kKeepaliveMax = "keepalive interval for MQTT client must be at most 65535s";
  const std::string kMixing = "mixing old-style and new-style TLS configuration for MQTT client is not supported";
  const std::string kEnabled = " requires \"enabled\" to be true in MQTT client TLS configuration";
  const std::string kUseTls = " requires \"useTls\" to be true in MQTT client";
  const std::string kWillQoS = "QoS value for MQTT client will message must be 0, 1, or 2";
  // Each row's members, with "^" where the error is located, and the message.
  const std::pair<std::string, std::string> kCases[] = {
      {R"(^{"clientID": "x"})", "missing broker address for MQTT Client"},
      {R"("brokerAddress": ^"")", "empty broker address in MQTT Client"},
      {R"("brokerAddress": ^":1883")", "empty broker address in MQTT Client"},
      {R"("brokerAddress": ^"h:x")", "invalid port number \"x\" in address \"h:x\" (expected 1 to 65535)"},
      {R"(^"useTls": true)", "unknown parameter \"useTls\""},
      {R"("clientID": ^"")", "empty client identifier in MQTT Client"},
      {R"("MQTTVersion": ^"")", "empty MQTT version in MQTT Client"},
      {R"("mqttVersion": ^"5.0")", "unsupported MQTT version \"5.0\" in MQTT client"},
      {R"("MQTTVersion": "3.1", "password": ^"p")", "MQTT version 3 does not support password without username"},
      {R"("password": ^"p", "MQTTVersion": "3.1.1")", "MQTT version 3.1.1 does not support password without username"},
      {R"("keepaliveInterval": ^"4999ms")", kKeepalive},
      {R"("keepaliveIntervalS": ^-60)", kKeepalive},
      {R"("keepaliveInterval": ^"2147483648s")", "time duration out of range"},
      {R"("keepaliveIntervalS": ^2147483648)", "number out of range for 32-bit integer"},
      {R"("keepaliveInterval": ^"19h")", kKeepaliveMax},
      {R"("keepaliveIntervalS": ^65536)", kKeepaliveMax},
      {R"("useTLS": true, ^"TLS": {"enabled": true})", kMixing},
      {R"("TLS": {"enabled": true}, ^"caCertificateFile": "a")", kMixing},
      {R"("useTLS": false, ^"TLS": {})", kMixing},
      {R"("TLS": {^"clientCertificate": {"certificateFile": "c.pem", "privateKeyFile": "k.pem"}})",
       "client certificate" + kEnabled},
      {R"("TLS": {^"serverCertificate": "pinned.pem"})", "server certificate" + kEnabled},
      {R"("TLS": {^"enable": true})", "unknown parameter \"enable\""},
      {R"(^"caCertificateFile": "a")", "CA certificate file" + kUseTls},
      {R"(^"caCertificateDirectory": "d", "useTLS": false)", "CA certificate directory" + kUseTls},
      {R"(^"clientCertificate": {"certificateFile": "c", "privateKeyFile": "k"})", "client certificate" + kUseTls},
      {R"(^"verifyCertificate": true)", "verify certificate option" + kUseTls},
      // The CA file is named first whatever the order.
      {R"("verifyCertificate": true, ^"caCertificateFile": "a")", "CA certificate file" + kUseTls},
      {R"("caCertificateFile": ^"")", "empty CA certificate file path in MQTT Client"},
      {R"("useTLS": true, "clientCertificate": ^{})", "missing certificate path"},
      {R"("useTLS": true, "clientCertificate": ^{"certificateFile": "c"})", "missing certificate private key path"},
      {R"("useTLS": true, "clientCertificate": {"certificateFile": ^""})", "empty certificate path"},
      {R"("useTLS": true, "clientCertificate": {^"keyFile": "k"})", "unknown parameter \"keyFile\""},
      {R"("birth": ^{"payload": "up"})", "missing topic name in MQTT client birth message"},
      {R"("birth": ^{"topic": "b"})", "missing payload in MQTT client birth message"},
      {R"("birth": {"topic": "b", "payload": "up", "QoS": ^3})", "QoS value for MQTT client birth message must be 0, 1, or 2"},
      {R"("birth": {"topic": ^"b/#", "payload": "up"})",
       "topic name for MQTT client birth message must not contain the characters \"+\" or \"#\""},
      {R"("birth": {"topic": "b", "payload": "up", ^"qos": 1})", "unknown parameter \"qos\""},
      {R"("will": ^{"payload": "bye"})", "missing topic name in MQTT client will message"},
      {R"("will": ^{"topic": "w"})", "missing payload in MQTT client will message"},
      {R"("will": {"topic": "w", "payload": "x", "QoS": ^3})", kWillQoS},
      {R"("will": {"topic": ^"/", "payload": "x"})",
       "topic name for MQTT client will message must not consist of a single forward slash (\"/\")"},
      {R"("will": {"topic": "w", "payload": {^"@DataPoint": "p"}})",
       "MQTT client will message payload does not support data point elements"},
      {R"("lastWill": {"topic": ^""})", "empty topic name for MQTT client will message"},
      {R"("lastWill": {"topic": "w", "qos": ^3})", kWillQoS},
      {R"("lastWill": {"topic": "w", ^"QoS": 1})", "unknown parameter \"QoS\""},
      // libmosquitto would cut both at the NUL: two clients "dup" that take over each other's connection.
      {R"("clientID": ^"dup\u0000one")", "client identifier for MQTT client" + kControl},
      {R"("clientID": ^"a\u009f")", "client identifier for MQTT client" + kControl},
      {R"("clientID": ^"\ud83f\udfff")", "client identifier for MQTT client must not contain Unicode non-characters "
                                          "(U+FDD0 to U+FDEF, and U+FFFE and U+FFFF in every plane)"},
      {R"("clientID": ^")" + tooLong + "\"", "client identifier for MQTT client must not be longer than 65535 bytes"},
      {R"("userName": ^"u\tv")", "user name for MQTT client" + kControl},
      {R"("username": ^")" + tooLong + "\"", "user name for MQTT client must not be longer than 65535 bytes"},
      {R"("username": "u", "password": ^"p\u0000q")",
       "password for MQTT client must not contain any embedded null characters (unicode code point 0)"},
      {R"("password": ^")" + tooLong + "\"", "password for MQTT client must not be longer than 65535 bytes"},
  };
  TempDir directory;
  for (const char* file : {"pinned.pem", "c.pem", "k.pem"}) directory.writeFile(file, "");
  for (auto [members, message] : kCases) {
    const auto caret = members.find('^');
    members.erase(caret, 1);
    const std::string text = config(members);
    try {
      ClientModel m(text, {}, {}, directory.path());
      ADD_FAILURE() << "loaded " << members.substr(0, 100);
    } catch (const corvane::runtime::ModelError& e) {
      EXPECT_EQ(e.what(), "m.json:2:" + std::to_string(text.find(members) + caret + 1) + ": " + message +
                              " (element \"broker\")");
    }
  }
  // At the edges of what load refuses, libmosquitto takes what prepare hands it.
  const std::string longest(65535, 'x');
  for (const std::string& members : {
           R"("clientID": ")" + longest + R"(", "username": ")" + longest + R"(", "password": ")" + longest + R"(")",
           // After the C1 controls, around the non-characters, beyond the first plane; a password is
           // binary data in MQTT: only a NUL would cut it.
           std::string(R"("clientID": "\u00a0\ufdcf\ufdf0\ufffd\ud800\udc00", "username": "\u00a0",
                          "password": "p\nq\u0001", "keepaliveInterval": "65535s")")}) {
    EXPECT_NO_THROW(ClientModel(config(members)).prepare()) << members.substr(0, 100);
  }
}

// Each event's role name, then each task's.
std::string roles(skill::Element& element) {
  std::string names;
  element.forEachEvent([&](const auto& role, const auto&) { return names += std::string(role.name) + " ", false; });
  element.forEachTask([&](const auto& role, const auto&) { return names += std::string(role.name) + " ", false; });
  return names;
}

// What the runtime sees of a client and its children before the first connection; a read handle
// keeps its element alive once the model has let go of it.
TEST(ElementAttributes, ShowConfigurationAndStateAndHandlesKeepTheirElementAlive) {
  std::vector<std::weak_ptr<skill::Element>> elements;
  std::vector<corvane::data::ReadHandle> handles;
  {
    ClientModel m(R"({"brokerAddress": "broker.example:1884", "clientID": "kept", "birth": {"topic": "b", "payload": "u"}})",
                  R"({"class": "Topic", "name": "t", "config": {"topic": "plant/t", "QoS": 2, "retained": true, "payload": "x"}},
                     {"class": "Command", "name": "c", "config": {"topic": "a/b", "payload": []}})");
    m.prepare();
    auto& topic = m.child<Topic>("t");
    auto& command = m.child<Command>("c");
    const std::string client = "brokerAddress:string=broker.example portNumber:integer=1884 clientID:string=kept";
    const std::string notConnected = "errorCode=Corvane.MQTTClient 1: not connected ";
    EXPECT_EQ(attributeTexts(m.client()), client + " deviceState:boolean=false connectionTime:timeStamp=never error:" +
                                              notConnected + "birthMessageTime:timeStamp=never");
    EXPECT_EQ(attributeTexts(topic), "topic:string=plant/t QoS:integer=2 retained:boolean=true state:boolean=false "
                                     "publishTime:timeStamp=never error:" + notConnected + client);
    EXPECT_EQ(attributeTexts(command), "topic:string=a/b subscribeTime:timeStamp=never state:boolean=false subscribeError:" +
                                           notConnected + "receiveTime:timeStamp=never QoS:integer=0 retained:boolean=false "
                                           "receiveErrorSummary:string=Not connected " + client);
    EXPECT_EQ(roles(m.client()) + "| " + roles(topic) + "| " + roles(command),
              "connected disconnected birth reconnect | published publish | received ");
    // Listing stops when the function says so, among the element's own and among the client's attributes.
    auto stopsAt = [](skill::Element& element, int stopAt) {
      int calls = 0;
      return element.forEachAttribute([&](const auto&) { return ++calls == stopAt; }) && calls == stopAt;
    };
    for (int stopAt : {1, 5, 7}) EXPECT_TRUE(stopsAt(m.client(), stopAt)) << stopAt;
    EXPECT_TRUE(stopsAt(topic, 6));
    EXPECT_TRUE(stopsAt(command, 10));
    int events = 0;
    EXPECT_TRUE(m.client().forEachEvent([&](const auto&, const auto&) { return ++events == 2; }));
    // The names a reference may use; only the topic's own attributes resolve.
    const std::pair<std::string_view, const corvane::model::Attribute*> kNames[] = {
        {"topicName", &attributes::kTopic}, {"qos", &attributes::kQoS}, {"Qos", nullptr},
        {"state", &attributes::kTopicState}, {"clientID", &attributes::kClientId}, {"connectionTime", nullptr},
    };
    for (const auto& [name, expected] : kNames) EXPECT_EQ(topic.resolveAttributeByName(name), expected) << name;
    EXPECT_FALSE(topic.makeReadHandle(attributes::kConnectionTime));
    EXPECT_FALSE(topic.makeWriteHandle(attributes::kTopic));
    EXPECT_FALSE(command.makeReadHandle(attributes::kTopicState));  // the topic's "state" is another attribute
    for (const char* path : {"broker", "broker/t", "broker/c"}) elements.push_back(m.model.skillElement(path));
    handles = {*m.client().makeReadHandle(attributes::kClientId), *topic.makeReadHandle(attributes::kTopic),
               *topic.makeReadHandle(attributes::kError), *command.makeReadHandle(attributes::kTopic)};
  }
  for (const auto& element : elements) EXPECT_FALSE(element.expired());
  EXPECT_EQ(handles[0].readString().value() + " " + handles[1].readString().value() + " " + handles[3].readString().value(),
            "kept plant/t a/b");
  EXPECT_EQ(handles[2].read().value(), Value(make_error_code(CustomError::NotConnected)));
  handles.clear();
  for (const auto& element : elements) EXPECT_TRUE(element.expired());

  // Without a birth: no birth time, no birth event; the default port follows TLS.
  ClientModel plain(R"({"brokerAddress": "h", "useTLS": true})");
  plain.prepare();
  EXPECT_EQ(attributeTexts(plain.client()).find("birth"), std::string::npos);
  EXPECT_FALSE(plain.client().makeReadHandle(attributes::kTopic));
  EXPECT_EQ(plain.client().makeReadHandle(attributes::kPortNumber)->readInt64().value(), 8883);
  EXPECT_EQ(roles(plain.client()), "connected disconnected reconnect ");
}

}  // namespace
}  // namespace corvane::plugins::mqttClient
