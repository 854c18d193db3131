// The connection engine against a real mosquitto: protocol levels, refusals, lost brokers,
// reconnection by the reconnect task, attempts that end early, and the network thread's lifetime.
#include <gtest/gtest.h>
#include <mqtt_protocol.h>
#include <netdb.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <set>
#include <tuple>
#include <string>
#include <vector>

#include "broker.hpp"
#include "certificates.hpp"
#include "clientModel.hpp"
#include "command/command.hpp"
#include "errors/addressLookupError.hpp"
#include "errors/mosquittoErrors.hpp"
#include "loopbackPort.hpp"
#include "scriptedBroker.hpp"
#include "testPeer.hpp"

namespace corvane::plugins::mqttClient {
namespace {

using namespace corvane::testing;
using namespace std::chrono_literals;

std::string command(std::string_view name, std::string_view topic, std::string_view point) {
  return R"({"class": "Command", "name": ")" + std::string(name) + R"(", "config": {"topic": ")" + std::string(topic) +
         R"(", "payload": [{"@DataPoint": {"dataPoint": ")" + std::string(point) + R"(", "jsonPath": "$.v"}}]}})";
}

TEST(ClientConnection, RefusedConnackLeavesTheBrokersAnswer) {
  Broker broker({.allowAnonymous = false, .passwords = {{"user", "right"}}});
  broker.start();
  struct Case {
    const char* version;
    const char* password;
    std::error_code expected;
    bool withCommand;
  };
  const Case kCases[] = {
      {"3.1", "right", {}, false},
      {"3.1", "wrong", makeConnackError(CONNACK_REFUSED_NOT_AUTHORIZED), false},
      {"3.1.1", "wrong", makeConnackError(CONNACK_REFUSED_NOT_AUTHORIZED), false},
      // libmosquitto then ends the poll with MOSQ_ERR_PROTOCOL, which must not replace the reason.
      {"5", "wrong", makeReasonCodeError(MQTT_RC_NOT_AUTHORIZED), false},
      // The disconnect callback inside that poll unsubscribes the command through libmosquitto:
      // that inner call must not wipe what the refusal recorded for the poll.
      {"5", "wrong", makeReasonCodeError(MQTT_RC_NOT_AUTHORIZED), true},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(std::string(c.version) + " " + c.password + (c.withCommand ? " with a command" : ""));
    ClientModel m(clientConfig(broker.port(), "refused",
                               std::string(R"("MQTTVersion": ")") + c.version + R"(", "username": "user", "password": ")" +
                                   c.password + "\""),
                  c.withCommand ? command("set", "cmd/set", "p") : "",
                  c.withCommand ? R"({"name": "p", "type": "integer", "value": 0})" : "");
    m.prepare();
    if (!c.expected) {
      EXPECT_TRUE(m.connect()) << describe(m.client().data().error);
      continue;
    }
    EventRecorder events(m.client());
    m.client().activate();
    ASSERT_TRUE(eventually([&] { return m.client().data().error == c.expected; })) << describe(m.client().data().error);
    // The refusal ends the connection; the polls that follow must leave the record alone.
    ASSERT_TRUE(m.waitForIdle());
    EXPECT_FALSE(eventually([&] { return m.client().data().error != c.expected; }, 150ms))
        << describe(m.client().data().error);
    EXPECT_FALSE(m.client().data().deviceState);
    EXPECT_TRUE(events.roles().empty());
  }
}

// Messages reach every command of their exact topic on every connection; a lost connection is
// recorded, and only the reconnect task connects and subscribes again.
TEST(ClientConnection, LostBrokerIsRecordedAndOnlyTheReconnectTaskConnectsAndSubscribesAgain) {
  Broker broker;
  broker.start();
  ClientModel m(clientConfig(broker.port(), "lost"),
                command("c1", "cmd/a", "p1") + "," + command("c2", "cmd/a", "p2") + "," + command("c3", "cmd/A", "p3"),
                R"({"name": "p1", "type": "integer"}, {"name": "p2", "type": "string"},
                   {"name": "p3", "type": "unsigned"})");
  m.prepare();
  ClientModel never(clientConfig(broker.port(), "never"));
  never.prepare();
  EventRecorder events(m.client());
  Command* commands[] = {&m.child<Command>("c1"), &m.child<Command>("c2"), &m.child<Command>("c3")};
  auto value = [&](const char* point) { return corvane::data::toText(m.model.dataPoint(point)->value()); };
  EXPECT_EQ(commands[0]->subscribeData().time, kNever);
  auto before = now();
  m.client().activate();
  for (int connection = 1;; ++connection) {
    SCOPED_TRACE("connection " + std::to_string(connection));
    for (auto* c : commands) {
      ASSERT_TRUE(eventually([&] { return c->subscribeData().subscribed; })) << describe(c->subscribeData().error);
      EXPECT_EQ(c->subscribeData().error, std::error_code());
      EXPECT_GE(c->subscribeData().time, before);
      EXPECT_EQ(c->subscriptionChangedEvent().raisedCount(), 2u * connection - 1);
    }
    TestPeer peer({.port = broker.port(), .reconnect = false});
    ASSERT_TRUE(peer.connect().accepted());
    const auto v = std::to_string(10 * connection);
    peer.publishAndWait("cmd/a", R"({"v": )" + v + "}");
    ASSERT_TRUE(eventually([&] { return value("p1") == v && value("p2") == v; })) << value("p1") << value("p2");
    // Topic names are compared byte for byte: "cmd/A" is another topic.
    peer.publishAndWait("cmd/A", R"({"v": 1)" + v + "}");
    ASSERT_TRUE(eventually([&] { return value("p3") == "1" + v; }));
    EXPECT_EQ(value("p1"), v);
    for (auto* c : commands) EXPECT_EQ(c->receivedEvent().raisedCount(), static_cast<std::size_t>(connection));
    if (connection == 2) break;

    const auto connectedAt = m.client().data().connectionTime;
    broker.kill();
    ASSERT_TRUE(events.waitFor("disconnected"));
    ASSERT_TRUE(m.waitForIdle());
    EXPECT_EQ(m.client().data().error, makeMosquittoError(MOSQ_ERR_CONN_LOST)) << describe(m.client().data().error);
    EXPECT_GT(m.client().data().connectionTime, connectedAt);
    EXPECT_EQ(commands[0]->subscribeData().error, make_error_code(CustomError::NotConnected));
    // No retry of its own: only the reconnect task asks again; with nobody listening, the attempt
    // fails with the operating system's "connection refused".
    m.reconnect();
    EXPECT_TRUE(eventually([&] { return m.client().data().error == std::error_code(ECONNREFUSED, std::system_category()); }))
        << describe(m.client().data().error);
    broker.start();
    EXPECT_FALSE(eventually([&] { return m.client().data().deviceState; }, 300ms)) << "reconnected by itself";
    before = now();
    m.reconnect();
  }
  EXPECT_EQ(events.roles(), (std::vector<std::string>{"connected", "disconnected", "connected"}));
  // A client whose task never ran has not tried meanwhile.
  EXPECT_EQ(never.client().connectionState(), ConnectionState::Idle);
  EXPECT_EQ(broker.log().find("as never"), std::string::npos);
}

// Attempts that end before a CONNACK, or a connection the broker ends: the record says what
// happened, at once, not just "not connected" or a keepalive time-out much later.
TEST(ClientConnection, AnAttemptThatEndsSaysWhy) {
  const auto& certificates = Certificates::shared();
  Broker broker({.tlsListener = TlsListenerOptions{.server = certificates.server()}});
  broker.start();
  ScriptedBroker closing("");  // accepts, reads the first bytes, closes
  // CONNACK accepted (MQTT 5, no properties), then DISCONNECT with reason 139, server shutting down.
  ScriptedBroker disconnecting(std::string("\x20\x03\x00\x00\x00\xe0\x02\x8b\x00", 9));
  const int nobody = freeLoopbackPort();
  const std::string tls = R"("useTLS": true, "verifyCertificate": false)";
  const std::string closedUnanswered = describe(make_error_code(CustomError::ClosedUnanswered));
  const std::string unexpectedEof = "OpenSSL 167772454: SSL routines: unexpected eof while reading";
  const std::string reset = "system 104: Connection reset by peer";
  const std::string refused = "system 111: Connection refused";
  struct Case {
    int port;
    std::string members;
    std::vector<std::string> errors;  // any of them
    const char* host = "127.0.0.1";
  };
  const Case kCases[] = {
      {closing.port(), "", {closedUnanswered}},
      {closing.port(), tls, {unexpectedEof}},
      // The broker closes on what it cannot read; whether the client then sees the end or a reset
      // depends on whether the broker had read everything.
      {broker.tlsPort(), "", {closedUnanswered, reset}},
      {broker.port(), tls, {unexpectedEof, reset}},
      {nobody, "", {refused}},
      {nobody, tls, {refused}},
      {disconnecting.port(), "", {describe(makeReasonCodeError(MQTT_RC_SERVER_SHUTTING_DOWN))}},
      {1883, "", {describe(std::error_code(EAI_NONAME, addressLookupErrorCategory()))}, "no-such-host.invalid"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(std::string(c.host) + ":" + std::to_string(c.port) + " " + c.members);
    ClientModel m(clientConfig(c.port, "unanswered", c.members, c.host));
    m.prepare();
    m.client().activate();
    // Well within the keepalive (60 s), which would otherwise end the attempt.
    EXPECT_TRUE(eventually([&] { return std::ranges::count(c.errors, describe(m.client().data().error)) > 0; }, 3s))
        << describe(m.client().data().error);
    EXPECT_TRUE(m.waitForIdle());
    EXPECT_FALSE(m.client().data().deviceState);
  }
}

TEST(ClientConnection, PreparedAgainWhileConnectedStartsOverCleanly) {
  Broker broker;
  broker.start();
  ClientModel m(clientConfig(broker.port(), "again"));
  m.prepare();
  EventRecorder events(m.client());
  ASSERT_TRUE(m.connect());
  // The new libmosquitto client has no connection: the engine notices and waits for its task.
  m.client().prepare();
  ASSERT_TRUE(events.waitFor("disconnected"));
  EXPECT_EQ(m.client().data().error, makeMosquittoError(MOSQ_ERR_CONN_LOST)) << describe(m.client().data().error);
  ASSERT_TRUE(m.waitForIdle());
  m.reconnect();
  EXPECT_TRUE(events.waitFor("connected", 2));
}

// Threads of this process, by id.
std::set<std::string> threadIds() {
  std::set<std::string> ids;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) ids.insert(entry.path().filename());
  return ids;
}

TEST(ClientConnection, DestroyedWhileConnectedLeavesNoThreadAndTheBrokerSendsTheWill) {
  Broker broker;
  broker.start();
  TestPeer peer({.port = broker.port()});
  ASSERT_TRUE(peer.connect().accepted());
  peer.subscribe("will/destroyed");
  const auto before = threadIds();
  auto client = std::make_shared<Client>();
  {
    FakeModel nothing;
    corvane::config::Context context(".", nothing);
    utils::json::decoder::Document document;
    client->load(document
                     .read(clientConfig(broker.port(), "destroyed",
                                        R"("lastWill": {"topic": "will/destroyed", "payload": "gone"})"))
                     .asObject(),
                 context);
  }
  client->realize();
  client->prepare();
  client->activate();
  ASSERT_TRUE(eventually([&] { return client->data().deviceState; }));
  EXPECT_EQ(threadIds().size(), before.size() + 1) << "one network thread per client";

  // No cleanup: the thread is stopped and joined, and the connection dropped without DISCONNECT.
  client.reset();
  EXPECT_EQ(threadIds(), before);
  const auto will = peer.waitForTopic("will/destroyed");
  ASSERT_TRUE(will) << broker.logReport();
  EXPECT_EQ(will->payload, "gone");
}

// A connect nobody accepts: libmosquitto's keepalive rule ends the attempt and the record says so;
// neither such a connect nor anything else the broker leaves unanswered holds cleanup.
TEST(ClientShutdown, CleanupDoesNotWaitForAnAnswer) {
  SilentListener deaf(true);
  std::optional<ClientModel> m(std::in_place, clientConfig(deaf.port(), "deaf", R"("keepaliveIntervalS": 5)"));
  m->prepare();
  m->client().activate();
  ASSERT_TRUE(eventually([&] { return m->client().connectionState() == ConnectionState::Connecting; }));
  ASSERT_TRUE(eventually([&] { return m->client().data().error == makeMosquittoError(MOSQ_ERR_KEEPALIVE); }, 15s))
      << describe(m->client().data().error);
  m->client().activate();  // a second user keeps the client enabled
  m->reconnect();
  ASSERT_TRUE(eventually([&] { return m->client().connectionState() == ConnectionState::Connecting; }));
  auto start = std::chrono::steady_clock::now();
  m->client().cleanup();
  m.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s) << "cleanup or destruction waited for the connect";

  const auto& certificates = Certificates::shared();
  Broker broker({.tlsListener = TlsListenerOptions{.server = certificates.server()}});
  broker.start();
  enum class Pause { never, beforeActivation, onceConnected };
  const std::tuple<const char*, std::string, Pause> kCases[] = {
      {"a name only the resolver can answer", clientConfig(1883, "lookup", "", "lookup.invalid"), Pause::never},
      // A DISCONNECT has no answer: the client closes its side without waiting for the broker.
      {"connected, then the broker stops answering", clientConfig(broker.port(), "stalled"), Pause::onceConnected},
      // A TLS handshake with a stopped broker never completes: there is nothing to take leave of.
      {"TLS handshake", clientConfig(broker.tlsPort(), "handshake", R"("useTLS": true, "verifyCertificate": false)"),
       Pause::beforeActivation},
  };
  for (const auto& [name, config, pause] : kCases) {
    SCOPED_TRACE(name);
    m.emplace(config);
    m->prepare();
    if (pause == Pause::beforeActivation) broker.pause();
    m->client().activate();
    if (pause == Pause::onceConnected) {
      ASSERT_TRUE(eventually([&] { return m->client().data().deviceState; }));
      broker.pause();
    }
    start = std::chrono::steady_clock::now();
    m->client().cleanup();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s) << "cleanup waited";
    EXPECT_EQ(m->client().connectionState(), ConnectionState::Idle);
    // An orderly end, unless the name lookup had already failed.
    if (pause != Pause::never) {
      EXPECT_EQ(m->client().data().error, make_error_code(CustomError::NotConnected));
    }
    m.reset();
    if (pause != Pause::never) broker.resume();
  }
}

}  // namespace
}  // namespace corvane::plugins::mqttClient
