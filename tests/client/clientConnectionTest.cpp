// The client against a real mosquitto: refusals, lost brokers, reconnection by the reconnect task,
// attempts that end early, the network thread's lifetime, will and birth, and what the client bounds.
#include <gtest/gtest.h>
#include <mqtt_protocol.h>
#include <netdb.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <tuple>

#include "broker.hpp"
#include "certificates.hpp"
#include "clientModel.hpp"
#include "command/command.hpp"
#include "errors/addressLookupError.hpp"
#include "errors/mosquittoErrors.hpp"
#include "loopbackPort.hpp"
#include "scriptedBroker.hpp"
#include "testPeer.hpp"
#include "topic/topic.hpp"

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
  // MQTT version, password, what the record shows (nothing: connected), whether a command is a child.
  const std::tuple<const char*, const char*, std::error_code, bool> kCases[] = {
      {"3.1", "right", {}, false},
      {"3.1", "wrong", makeConnackError(CONNACK_REFUSED_NOT_AUTHORIZED), false},
      {"3.1.1", "wrong", makeConnackError(CONNACK_REFUSED_NOT_AUTHORIZED), false},
      // libmosquitto then ends the poll with MOSQ_ERR_PROTOCOL, which must not replace the reason.
      {"5", "wrong", makeReasonCodeError(MQTT_RC_NOT_AUTHORIZED), false},
      // The disconnect callback inside that poll unsubscribes the command through libmosquitto:
      // that inner call must not wipe what the refusal recorded for the poll.
      {"5", "wrong", makeReasonCodeError(MQTT_RC_NOT_AUTHORIZED), true},
  };
  for (const auto& [version, password, expected, withCommand] : kCases) {
    SCOPED_TRACE(std::string(version) + " " + password + (withCommand ? " with a command" : ""));
    ClientModel m(clientConfig(broker.port(), "refused",
                               std::string(R"("MQTTVersion": ")") + version + R"(", "username": "user", "password": ")" +
                                   password + "\""),
                  withCommand ? command("set", "cmd/set", "p") : "",
                  withCommand ? R"({"name": "p", "type": "integer", "value": 0})" : "");
    m.prepare();
    if (!expected) {
      EXPECT_TRUE(m.connect()) << describe(m.client().data().error);
      continue;
    }
    EventRecorder events(m.client());
    m.client().activate();
    ASSERT_TRUE(eventually([&] { return m.client().data().error == expected; })) << describe(m.client().data().error);
    // The refusal ends the connection; the polls that follow must leave the record alone.
    ASSERT_TRUE(m.waitForIdle());
    EXPECT_FALSE(eventually([&] { return m.client().data().error != expected; }, 150ms))
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
  EventRecorder events(m.client());
  Command* commands[] = {&m.child<Command>("c1"), &m.child<Command>("c2"), &m.child<Command>("c3")};
  auto value = [&](const char* point) { return corvane::data::toText(m.model.dataPoint(point)->value()); };
  auto before = now();
  m.client().activate();
  for (int connection = 1;; ++connection) {
    SCOPED_TRACE("connection " + std::to_string(connection));
    for (auto* c : commands) {
      ASSERT_TRUE(eventually([&] { return c->subscribeData().subscribed; })) << describe(c->subscribeData().error);
      EXPECT_TRUE(!c->subscribeData().error && c->subscribeData().time >= before) << describe(c->subscribeData().error);
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

  // Prepared again while connected, the new libmosquitto client has no connection: the engine
  // notices, and waits for its task.
  m.client().prepare();
  ASSERT_TRUE(events.waitFor("disconnected", 2));
  EXPECT_EQ(m.client().data().error, makeMosquittoError(MOSQ_ERR_CONN_LOST)) << describe(m.client().data().error);
  ASSERT_TRUE(m.waitForIdle());
  m.reconnect();
  EXPECT_TRUE(events.waitFor("connected", 3));
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
  const std::string closedUnansweredMqtt5 = describe(make_error_code(CustomError::ClosedUnansweredMqtt5));
  const std::string unexpectedEof = "OpenSSL 167772454: SSL routines: unexpected eof while reading";
  const std::string reset = "system 104: Connection reset by peer";
  const std::string refused = "system 111: Connection refused";
  // Host, port, the client's members, what the record may show (any of them).
  const std::tuple<const char*, int, std::string, std::vector<std::string>> kCases[] = {
      // A broker that reads an MQTT 5 CONNECT and closes most likely speaks 3.1.1 only.
      {"127.0.0.1", closing.port(), "", {closedUnansweredMqtt5}},
      {"127.0.0.1", closing.port(), R"("MQTTVersion": "3.1.1")", {closedUnanswered}},
      {"127.0.0.1", closing.port(), tls, {unexpectedEof}},
      // The broker closes on what it cannot read; whether the client then sees the end or a reset
      // depends on whether the broker had read everything.
      {"127.0.0.1", broker.tlsPort(), "", {closedUnansweredMqtt5, reset}},
      {"127.0.0.1", broker.port(), tls, {unexpectedEof, reset}},
      {"127.0.0.1", nobody, "", {refused}},
      {"127.0.0.1", nobody, tls, {refused}},
      {"127.0.0.1", disconnecting.port(), "", {describe(makeReasonCodeError(MQTT_RC_SERVER_SHUTTING_DOWN))}},
      {"no-such-host.invalid", 1883, "", {describe(std::error_code(EAI_NONAME, addressLookupErrorCategory()))}},
  };
  for (const auto& [host, port, members, errors] : kCases) {
    SCOPED_TRACE(std::string(host) + ":" + std::to_string(port) + " " + members);
    ClientModel m(clientConfig(port, "unanswered", members, host));
    m.prepare();
    m.client().activate();
    // Well within the keepalive (60 s), which would otherwise end the attempt.
    EXPECT_TRUE(eventually([&] { return std::ranges::count(errors, describe(m.client().data().error)) > 0; }, 3s))
        << describe(m.client().data().error);
    EXPECT_TRUE(m.waitForIdle());
    EXPECT_FALSE(m.client().data().deviceState);
  }
}

// A client deactivated while its attempt waits for the CONNACK gives the attempt up: the CONNACK
// that comes after never makes it connected.
TEST(ClientConnection, AnAttemptGivenUpNeverConnects) {
  ScriptedBroker slow(std::string("\x20\x03\x00\x00\x00", 5), 50ms);  // accepted, 50 ms after the CONNECT
  ClientModel m(clientConfig(slow.port(), "given-up"));
  m.prepare();
  EventRecorder events(m.client());
  m.client().activate();
  std::this_thread::sleep_for(20ms);
  m.client().deactivate();
  EXPECT_TRUE(m.waitForIdle());
  EXPECT_FALSE(eventually([&] { return m.client().data().deviceState || !events.roles().empty(); }, 300ms))
      << "connected after it was given up";
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
    const auto config = clientConfig(broker.port(), "destroyed", R"("lastWill": {"topic": "will/destroyed", "payload": "gone"})");
    client->load(document.read(config).asObject(), context);
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
  EXPECT_TRUE(will && will->payload == "gone") << broker.logReport();
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
    EXPECT_TRUE(pause == Pause::never || m->client().data().error == make_error_code(CustomError::NotConnected))
        << describe(m->client().data().error);
    m.reset();
    if (pause != Pause::never) broker.resume();
  }
}

using Topics = std::vector<std::string>;

TEST(ClientWill, OrderlyDisconnectionDeliversTheWillUnlessItIsForAbnormalOnesOnly) {
  Broker broker;
  broker.start();
  // MQTT 5: DISCONNECT with reason 4 lets the broker send it; 3.1.1 and 3.1 have no reason code, so
  // the client publishes it itself. The old form is always for abnormal disconnections only.
  const std::tuple<const char*, const char*, const char*, bool> kCases[] = {
      {"5", "will", R"("QoS": 1, "retained": true)", true},
      {"3.1.1", "will", R"("QoS": 1, "retained": true)", true},
      {"3.1.1", "will", R"("abnormalDisconnectOnly": true)", false},
      {"5", "lastWill", R"("qos": 1)", false},  // abnormal only under MQTT 5: DISCONNECT reason 0
  };
  int row = 0;
  for (const auto& [version, key, members, delivered] : kCases) {
    const std::string id = "will-" + std::to_string(++row);
    SCOPED_TRACE(id + ": " + version + " " + key + " " + members);
    TestPeer peer({.port = broker.port()});
    ASSERT_TRUE(peer.connect().accepted());
    peer.subscribe("will/" + id + "/#", 2);
    ClientModel m(clientConfig(broker.port(), id,
                               std::string(R"("MQTTVersion": ")") + version + R"(", ")" + key + R"(": {"topic": "will/)" +
                                   id + R"(", "payload": "bye", )" + members + "}"));
    m.prepare();
    ASSERT_TRUE(m.connect());
    m.client().deactivate();
    // An orderly disconnection leaves "not connected" as the reason.
    ASSERT_TRUE(eventually([&] { return m.client().data().error == make_error_code(CustomError::NotConnected); }));
    // Once the broker has closed the session, whatever it or the client sent is on its way to the
    // peer ahead of the marker.
    ASSERT_TRUE(broker.waitForLog("Client " + id + " disconnected")) << broker.logReport();
    peer.publish("will/" + id + "/marker", "");
    ASSERT_TRUE(peer.waitForTopic("will/" + id + "/marker"));
    const auto messages = peer.messages();
    ASSERT_EQ(messages.size(), delivered ? 2u : 1u);
    if (!delivered) continue;
    const auto will = messages.front();
    EXPECT_EQ(will.topic + " " + will.payload + " q" + std::to_string(will.qos), "will/" + id + " bye q1");
    // Retained: a later subscriber still gets it.
    TestPeer late({.port = broker.port()});
    ASSERT_TRUE(late.connect().accepted());
    late.subscribe(will.topic);
    const auto retained = late.waitForTopic(will.topic);
    EXPECT_TRUE(retained && retained->retain && retained->payload == "bye");
  }
}

// The will a 3.1.1 client publishes itself goes out once, acknowledged before the DISCONNECT, and
// never again on a later connection, where it would overwrite the birth's retained "online".
TEST(ClientWill, AnOrderlyWillGoesOutOnceAndNeverAfterTheNextBirth) {
  Broker broker;
  broker.start();
  TestPeer peer({.port = broker.port()});
  ASSERT_TRUE(peer.connect().accepted());
  peer.subscribe("status/#", 1);
  ClientModel m(clientConfig(broker.port(), "status", R"("MQTTVersion": "3.1.1",
      "will": {"topic": "status/s", "payload": "offline", "QoS": 1, "retained": true},
      "birth": {"topic": "status/s", "payload": "online", "QoS": 1, "retained": true})"));
  m.prepare();
  EventRecorder events(m.client());
  for (std::size_t connection = 1; connection <= 2; ++connection) {
    ASSERT_TRUE(m.connect());
    ASSERT_TRUE(events.waitFor("birth", connection));
    if (connection == 2) break;
    m.client().deactivate();
    ASSERT_TRUE(m.waitForIdle());
  }
  const auto birth = peer.waitForTopic("status/s");
  ASSERT_TRUE(birth);
  std::this_thread::sleep_for(200ms);  // a will sent again would come right behind the birth
  peer.publish("status/marker", "");
  ASSERT_TRUE(peer.waitForTopic("status/marker"));
  std::vector<std::string> received;
  for (const auto& message : peer.messages()) received.push_back(message.topic + " " + message.payload);
  const std::string online = "status/s " + birth->payload;
  EXPECT_EQ(received, (Topics{online, "status/s offline", online, "status/marker "}));
  TestPeer late({.port = broker.port()});
  ASSERT_TRUE(late.connect().accepted());
  late.subscribe("status/s");
  const auto retained = late.waitForTopic("status/s");
  EXPECT_TRUE(retained && retained->payload == birth->payload) << (retained ? retained->payload : "nothing retained");
}

TEST(ClientBirth, WaitsForTheFirstPublicationOfEveryDesignatedTopicName) {
  Broker broker;
  broker.start();
  TestPeer peer({.port = broker.port()});
  ASSERT_TRUE(peer.connect().accepted());
  peer.subscribe("b/#");
  // Two topics share "b/a"; those named like the birth and the will do not hold it back.
  ClientModel m(clientConfig(broker.port(), "birth-gated", R"("birth": {"topic": "b/birth", "payload": {"@DataPoint": "level"}},
                                "will": {"topic": "b/will", "payload": "offline", "abnormalDisconnectOnly": true})"),
                R"({"class": "Topic", "name": "a1", "config": {"topic": "b/a", "payload": "a1", "requireForBirth": true}},
                   {"class": "Topic", "name": "a2", "config": {"topic": "b/a", "payload": "a2", "requireForBirth": true}},
                   {"class": "Topic", "name": "c", "config": {"topic": "b/c", "payload": "c", "retained": true}},
                   {"class": "Topic", "name": "own", "config": {"topic": "b/birth", "payload": "o", "requireForBirth": true}},
                   {"class": "Topic", "name": "will", "config": {"topic": "b/will", "payload": "w", "requireForBirth": true}},
                   {"class": "Topic", "name": "free", "config": {"topic": "b/free", "payload": "free"}})",
                R"({"name": "level", "type": "integer", "value": 7})");
  m.prepare();
  EXPECT_EQ(m.client().birthTopics(), (Topics{"b/a", "b/c"}));
  EventRecorder events(m.client());
  ASSERT_TRUE(m.connect());
  // The birth goes out once the set is complete, with the time of the publication that completed it,
  // rendered for the connection it announces.
  auto completeBirth = [&](const char* topic, TimeStamp time, std::size_t births, const std::string& value) {
    m.child<Topic>(topic).publish(time);
    ASSERT_TRUE(events.waitFor("birth", births));
    EXPECT_EQ(m.client().data().birthMessageTime, time);
    const std::string payload = R"({"value":)" + value + R"(,"quality":192})";
    EXPECT_TRUE(peer.waitFor([&](const ReceivedMessage& r) { return r.payload == payload; }));
  };
  const auto t1 = now();
  for (const char* name : {"free", "own", "a2"}) m.child<Topic>(name).publish(t1 - std::chrono::milliseconds(1));
  completeBirth("c", t1, 1, "7");
  EXPECT_EQ(receivedTopics(peer, "b/marker"), (Topics{"b/free", "b/birth", "b/a", "b/c", "b/birth", "b/marker"}));

  // Every connection starts with the full set again: a peer taking the client's identifier makes
  // the broker drop it (and send its will), then the reconnect task runs.
  TestPeer thief({.port = broker.port(), .clientId = "birth-gated", .reconnect = false});
  ASSERT_TRUE(thief.connect().accepted());
  thief.disconnect();
  ASSERT_TRUE(m.waitForIdle());
  m.reconnect();
  ASSERT_TRUE(events.waitFor("connected", 2));
  m.model.dataPoint("level")->setValue(std::int64_t{8});
  const auto t3 = now();
  for (const char* name : {"c", "c"}) m.child<Topic>(name).publish(t3 - std::chrono::milliseconds(1));
  completeBirth("a1", t3, 2, "8");
  EXPECT_EQ(receivedTopics(peer, "b/marker"), (Topics{"b/will", "b/c", "b/c", "b/a", "b/birth", "b/marker"}));
}

// Every reconnection subscribes every command again, even while topics publish as fast as they
// can from other threads (a subscription skipped then would stay missing for the connection).
TEST(ClientChurn, EveryConnectionSubscribesEveryCommandWhilePublishersRun) {
  Broker broker;
  broker.start();
  std::string children;
  for (int i = 0; i < 4; ++i) {
    children += R"({"class": "Topic", "name": "t)" + std::to_string(i) + R"(", "config": {"topic": "load/)" +
                std::to_string(i) + R"(", "payload": "x"}},)";
  }
  children += R"({"class": "Command", "name": "set", "config": {"topic": "churn/set",
    "payload": [{"@DataPoint": {"dataPoint": "target", "jsonPath": "$"}}]}})";
  ClientModel m(clientConfig(broker.port(), "churn"), children, R"({"name": "target", "type": "integer"})");
  m.prepare();
  auto& command = m.child<Command>("set");
  TestPeer sender({.port = broker.port(), .clientId = "churn-sender"});
  ASSERT_TRUE(sender.connect().accepted());

  // Faster than any task cycle: tens of thousands of publications a second in all; stopped and
  // joined when the test ends, however it ends.
  std::vector<std::jthread> publishers;
  for (int i = 0; i < 4; ++i) {
    publishers.emplace_back([&, i](std::stop_token stop) {
      for (auto& topic = m.child<Topic>(std::string("t").append(std::to_string(i))); !stop.stop_requested();
           std::this_thread::sleep_for(100us)) {
        topic.publish(corvane::now());
      }
    });
  }
  for (int round = 1; round <= 200; ++round) {
    SCOPED_TRACE("connection " + std::to_string(round));
    ASSERT_TRUE(m.connect());
    // A skipped subscription stays missing for the whole connection.
    ASSERT_TRUE(eventually([&] { return command.subscribeData().subscribed; })) << "no subscription";
    ASSERT_EQ(sender.publishAndWait("churn/set", std::to_string(round)), 0);
    ASSERT_TRUE(eventually([&] { return m.model.dataPoint("target")->value() == corvane::data::Value(std::int64_t{round}); }));
    m.client().deactivate();
    ASSERT_TRUE(m.waitForIdle());
  }
}

// Resident set of this process in KiB.
long residentKiB() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("VmRSS:")) return std::stol(line.substr(6));
  }
  return -1;
}

// A broker that stops reading while a topic publishes 10 kB at QoS 1 every millisecond: what waits
// for it stays bounded, publications beyond the bound fail as such, and what was queued arrives in
// order once the broker reads again.
TEST(ClientQueue, ABrokerThatStopsReadingCannotMakeTheQueueGrow) {
  Broker broker({.maxQueuedMessages = 100000});
  broker.start();
  TestPeer subscriber({.port = broker.port(), .clientId = "queue-subscriber"});
  ASSERT_TRUE(subscriber.connect().accepted());
  subscriber.subscribe("queue/t", 1);
  ClientModel m(clientConfig(broker.port(), "queue", R"("keepaliveIntervalS": 120)"),
                R"({"class": "Topic", "name": "t", "config": {"topic": "queue/t", "QoS": 1, "payload": "x"}})");
  m.prepare();
  auto& topic = m.child<Topic>("t");
  ASSERT_TRUE(m.connect());

  const long before = residentKiB();
  long peak = before;
  std::vector<int> queued;
  int refused = 0;
  std::string payload(10000, 'x');
  broker.pause();
  const auto end = std::chrono::steady_clock::now() + 30s;
  for (int sequence = 0; std::chrono::steady_clock::now() < end; ++sequence) {
    const auto head = std::to_string(sequence) + ";";
    payload.replace(0, head.size(), head);
    auto result = m.client().publish(corvane::now(), topic, payload.data(), payload.size(), 1, false, nullptr);
    if (result) {
      queued.push_back(sequence);
    } else {
      ASSERT_EQ(result.error(), make_error_code(CustomError::OutgoingQueueFull)) << describe(result.error());
      ++refused;
    }
    if (sequence % 100 == 0) peak = std::max(peak, residentKiB());
    std::this_thread::sleep_for(1ms);
  }
  broker.resume();
  EXPECT_LE(queued.size(), Client::kMaxQueuedMessages);
  EXPECT_GT(refused, 0);
#if !defined(__SANITIZE_THREAD__)  // whose shadow memory grows with every byte the process touches
  EXPECT_LE(peak - before, 64 * 1024) << "KiB more resident";
#endif

  ASSERT_TRUE(subscriber.waitForCount(queued.size(), 30s)) << subscriber.messageCount() << " of " << queued.size();
  std::vector<int> arrived;
  for (const auto& message : subscriber.messages()) arrived.push_back(std::stoi(message.payload));
  EXPECT_EQ(arrived, queued);
  EXPECT_TRUE(m.client().data().deviceState);
}

// The queue's counts belong to a libmosquitto client: the new one of a second prepare starts from
// nothing, so what filled the old one cannot refuse publications for good.
TEST(ClientQueue, ASecondPrepareStartsWithAnEmptyQueue) {
  Broker broker;
  broker.start();
  ClientModel m(clientConfig(broker.port(), "requeue", R"("keepaliveIntervalS": 120)"),
                R"({"class": "Topic", "name": "t", "config": {"topic": "requeue/t", "QoS": 1, "payload": "x"}})");
  m.prepare();
  ASSERT_TRUE(m.connect());
  const std::string payload(1 << 20, 'x');
  auto publish = [&] {
    return m.client().publish(now(), m.child<Topic>("t"), payload.data(), payload.size(), 1, false, nullptr);
  };
  broker.pause();
  for (int i = 0; i < 100 && publish(); ++i) {
  }
  ASSERT_EQ(publish().error(), make_error_code(CustomError::OutgoingQueueFull));
  m.client().prepare();
  broker.resume();
  ASSERT_TRUE(m.waitForIdle());
  m.reconnect();
  ASSERT_TRUE(eventually([&] { return m.client().data().deviceState; }));
  EXPECT_TRUE(eventually([&] { return publish().has_value(); }, 2s));
}

// Numbered publications while the broker is killed again and again: none that was reported failed
// reaches the broker (libmosquitto keeps a QoS 1 message it could not send, and sends it later).
TEST(ClientChurn, NothingReportedFailedReachesTheBroker) {
  Broker broker;
  broker.start();
  ClientModel m(clientConfig(broker.port(), "numbered"),
                R"({"class": "Topic", "name": "t", "config": {"topic": "numbered/t", "QoS": 1, "payload": "x"}})");
  m.prepare();
  std::mutex mutex;
  std::set<int> failed;
  std::jthread publisher([&](std::stop_token stop) {
    for (int n = 0; !stop.stop_requested(); ++n, std::this_thread::sleep_for(200us)) {
      const auto text = std::to_string(n);
      if (!m.client().publish(now(), m.child<Topic>("t"), text.data(), text.size(), 1, false, nullptr)) {
        std::lock_guard lock(mutex);
        failed.insert(n);
      }
    }
  });
  std::vector<std::unique_ptr<TestPeer>> subscribers;
  for (int round = 0; round < 4; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    auto& subscriber = *subscribers.emplace_back(std::make_unique<TestPeer>(PeerOptions{.port = broker.port()}));
    ASSERT_TRUE(subscriber.connect().accepted());
    subscriber.subscribe("numbered/t", 1);
    m.reconnect();
    m.client().activate();
    ASSERT_TRUE(eventually([&] { return m.client().data().deviceState; }));
    ASSERT_TRUE(subscriber.waitForCount(100));
    broker.kill();
    ASSERT_TRUE(m.waitForIdle());
    broker.start();
  }
  publisher.request_stop();
  publisher.join();
  std::size_t received = 0;
  for (const auto& subscriber : subscribers) {
    for (const auto& message : subscriber->messages()) {
      ++received;
      EXPECT_FALSE(failed.contains(std::stoi(message.payload))) << message.payload << " was reported failed";
    }
  }
  EXPECT_GE(received, 400u);
}

TEST(ClientLimits, OversizedPayloadIsRefusedBeforeReachingTheLibrary) {
  ClientModel m(R"({"brokerAddress": "127.0.0.1:1", "clientID": "oversized"})",
                R"({"class": "Topic", "name": "t", "config": {"topic": "t", "payload": "x"}})");
  m.prepare();
  const char byte = 0;
  // The length is never used to read: the check comes first.
  auto result = m.client().publish(now(), m.child<Topic>("t"), &byte, std::size_t{2147483648u}, 0, false, nullptr);
  EXPECT_EQ(result.error(), makeMosquittoError(MOSQ_ERR_PAYLOAD_SIZE));
  // Nothing was sent, and the topic learns so.
  result = m.client().publish(now(), m.child<Topic>("t"), &byte, 1, 0, false, nullptr);
  EXPECT_EQ(result.error(), makeMosquittoError(MOSQ_ERR_NO_CONN));
}

}  // namespace
}  // namespace corvane::plugins::mqttClient
