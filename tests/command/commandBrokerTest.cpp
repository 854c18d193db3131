// Commands against a real mosquitto: messages from a real publisher reach typed data points, and
// the subscription record follows what the broker answers and what happens to the connection.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <variant>
#include <vector>

#include <corvane/data.hpp>
#include <corvane/time.hpp>

#include "../client/clientModel.hpp"
#include "../client/waiting.hpp"
#include "broker.hpp"
#include "command/command.hpp"
#include "errors/customError.hpp"
#include "errors/mosquittoErrors.hpp"
#include "tempDir.hpp"
#include "testPeer.hpp"

namespace corvane::plugins::mqttClient::testing {
namespace {

using corvane::data::Value;
using corvane::testing::AclAccess;
using corvane::testing::Broker;
using corvane::testing::BrokerOptions;
using corvane::testing::MqttVersion;
using corvane::testing::TestPeer;

std::string describe(std::error_code error) { return corvane::data::describeError(error); }

std::string command(std::string_view name, std::string_view topic, std::string_view payload) {
  return R"({"class": "Command", "name": ")" + std::string(name) + R"(", "config": {"topic": ")" + std::string(topic) +
         R"(", "payload": [)" + std::string(payload) + "]}}";
}

std::string entry(std::string_view point, std::string_view path) {
  return R"({"@DataPoint": {"dataPoint": ")" + std::string(point) + R"(", "jsonPath": ")" + std::string(path) + R"("}})";
}

bool subscribed(const Command& c) { return c.subscribeData().subscribed; }

TEST(CommandBroker, EveryDataPointTypeTakesTheValueOfARealPublication) {
  Broker broker;
  broker.start();
  struct Row {
    const char* point;
    const char* type;
    const char* path;
    Value expected;
  };
  // Rows are named by the point's type; the last rows need a conversion by the point.
  const std::vector<Row> rows = {
      {"b", "boolean", "$.b", Value(true)},
      {"i", "integer", "$.i", Value(std::int64_t{-42})},
      {"u", "unsigned", "$.u", Value(std::uint64_t{18446744073709551615u})},
      {"d", "double", "$.d", Value(2.5)},
      {"s", "string", "$.s", Value(std::string("on \"line\" \u00e9"))},
      {"dFromInteger", "double", "$.i", Value(-42.0)},
      {"sFromNumber", "string", "$.d", Value(std::string("2.5"))},
  };
  std::string points;
  std::string entries;
  for (const auto& row : rows) {
    if (!points.empty()) points += ", ";
    if (!entries.empty()) entries += ", ";
    points += R"({"name": ")" + std::string(row.point) + R"(", "type": ")" + row.type + "\"}";
    entries += entry(row.point, row.path);
  }
  ClientModel m(clientConfig(broker.port(), "typed"), command("c", "cmd/typed", entries), points);
  m.prepare();
  auto& c = m.child<Command>("c");
  m.client().activate();
  ASSERT_TRUE(eventually([&] { return subscribed(c); })) << describe(c.subscribeData().error);

  TestPeer peer({.port = broker.port()});
  ASSERT_TRUE(peer.connect().accepted());
  const auto before = now();
  peer.publishAndWait("cmd/typed",
                      R"({"b": true, "i": -42, "u": 18446744073709551615, "d": 2.5, "s": "on \"line\" \u00e9"})", 1);
  ASSERT_TRUE(eventually([&] { return c.receivedEvent().raisedCount() == 1; }));
  const auto received = c.receiveData();
  EXPECT_EQ(received.errorSummary, "");
  EXPECT_GE(received.time, before);
  EXPECT_LE(received.time, now());
  EXPECT_EQ(received.qos, 0) << "commands subscribe with QoS 0, so the broker delivers at most that";
  EXPECT_FALSE(received.retained);
  for (const auto& row : rows) {
    SCOPED_TRACE(row.point);
    const auto value = m.model().dataPoint(row.point)->value();
    EXPECT_EQ(value.index(), row.expected.index()) << corvane::data::toText(value);
    EXPECT_EQ(value, row.expected) << corvane::data::toText(value);
  }
}

TEST(CommandBroker, TwoCommandsOnOneTopicBothApplyEveryMessage) {
  Broker broker;
  broker.start();
  const std::string children =
      command("first", "cmd/shared", entry("p1", "$.v")) + ", " + command("second", "cmd/shared", entry("p2", "$.w"));
  ClientModel m(clientConfig(broker.port(), "shared"), children,
                R"({"name": "p1", "type": "integer"}, {"name": "p2", "type": "string"})");
  m.prepare();
  auto& first = m.child<Command>("first");
  auto& second = m.child<Command>("second");
  m.client().activate();
  ASSERT_TRUE(eventually([&] { return subscribed(first) && subscribed(second); }));

  TestPeer peer({.port = broker.port()});
  ASSERT_TRUE(peer.connect().accepted());
  for (int i = 1; i <= 3; ++i) {
    SCOPED_TRACE("message " + std::to_string(i));
    peer.publishAndWait("cmd/shared", R"({"v": )" + std::to_string(i) + R"(, "w": "x)" + std::to_string(i) + "\"}", 1);
    ASSERT_TRUE(eventually([&] {
      return first.receivedEvent().raisedCount() == static_cast<std::size_t>(i) &&
             second.receivedEvent().raisedCount() == static_cast<std::size_t>(i);
    })) << first.receivedEvent().raisedCount() << " / " << second.receivedEvent().raisedCount();
    EXPECT_EQ(m.model().dataPoint("p1")->value(), Value(std::int64_t{i}));
    EXPECT_EQ(m.model().dataPoint("p2")->value(), Value(std::string("x").append(std::to_string(i))));
    EXPECT_EQ(first.receiveData().errorSummary, "");
    EXPECT_EQ(second.receiveData().errorSummary, "");
  }
}

TEST(CommandBroker, SubscriptionFollowsConnectLossAndReconnect) {
  Broker broker;
  broker.start();
  ClientModel m(clientConfig(broker.port(), "follows"), command("c", "cmd/follow", entry("p", "$")),
                R"({"name": "p", "type": "integer"})");
  m.prepare();
  auto& c = m.child<Command>("c");

  auto initial = c.subscribeData();
  EXPECT_FALSE(initial.subscribed);
  EXPECT_EQ(initial.error, make_error_code(CustomError::NotConnected)) << describe(initial.error);
  EXPECT_EQ(initial.time, kNever);

  const auto beforeConnect = now();
  m.client().activate();
  ASSERT_TRUE(eventually([&] { return subscribed(c); })) << describe(c.subscribeData().error) << broker.logReport();
  const auto granted = c.subscribeData();
  EXPECT_EQ(granted.error, std::error_code()) << describe(granted.error);
  EXPECT_GE(granted.time, beforeConnect);
  EXPECT_LE(granted.time, now());
  EXPECT_EQ(c.subscriptionChangedEvent().raisedCount(), 1u);

  // An abrupt end of the broker: the connection is lost, not closed.
  const auto beforeLoss = now();
  broker.kill();
  ASSERT_TRUE(eventually([&] { return !subscribed(c); }));
  const auto lost = c.subscribeData();
  EXPECT_EQ(lost.error, make_error_code(CustomError::NotConnected)) << describe(lost.error);
  EXPECT_GE(lost.time, beforeLoss);
  EXPECT_EQ(c.subscriptionChangedEvent().raisedCount(), 2u);
  ASSERT_TRUE(eventually([&] { return m.client().connectionState() == ConnectionState::Idle; }));

  // The same address again; the reconnect task's next run connects and subscribes anew.
  broker.start();
  const auto beforeReconnect = now();
  m.model().runTaskOnce("broker", "reconnect");
  ASSERT_TRUE(eventually([&] { return subscribed(c); })) << describe(c.subscribeData().error) << broker.logReport();
  const auto renewed = c.subscribeData();
  EXPECT_EQ(renewed.error, std::error_code()) << describe(renewed.error);
  EXPECT_GE(renewed.time, beforeReconnect);
  EXPECT_EQ(c.subscriptionChangedEvent().raisedCount(), 3u);

  // The new subscription delivers: a lost subscription would leave the value alone.
  TestPeer peer({.port = broker.port()});
  ASSERT_TRUE(peer.connect().accepted());
  peer.publishAndWait("cmd/follow", "7", 1);
  ASSERT_TRUE(eventually([&] { return m.model().dataPoint("p")->value() == Value(std::int64_t{7}); }))
      << corvane::data::toText(m.model().dataPoint("p")->value());
}

// mosquitto's acl_file never refuses a SUBSCRIBE: it grants it and drops what the client may not
// read at delivery. A refusal in the SUBACK needs an access check on subscriptions, which the
// dynamic-security plug-in makes.
TEST(CommandBroker, AclFileGrantsSubscriptionsItWillNotDeliverOn) {
  BrokerOptions options;
  options.acl = std::vector<corvane::testing::AclRule>{
      {.user = "", .access = AclAccess::write, .topic = "cmd/writeOnly"},
  };
  Broker broker(options);
  broker.start();
  TestPeer probe({.port = broker.port(), .reconnect = false});
  ASSERT_TRUE(probe.connect().accepted());
  EXPECT_EQ(probe.subscribe("cmd/writeOnly"), std::vector<int>{0}) << "mosquitto now refuses: see the next test";
}

constexpr const char* kDynamicSecurityPlugin = "/usr/lib/x86_64-linux-gnu/mosquitto_dynamic_security.so";

// Anonymous clients may subscribe to "cmd/allowed" and to nothing else.
constexpr const char* kDynamicSecurityConfig = R"({
  "defaultACLAccess": {"publishClientSend": true, "publishClientReceive": true, "subscribe": false, "unsubscribe": true},
  "clients": [],
  "roles": [{"rolename": "reader", "acls": [{"acltype": "subscribeLiteral", "topic": "cmd/allowed", "priority": 0, "allow": true}]}],
  "groups": [{"groupname": "anonymous", "roles": [{"rolename": "reader", "priority": 0}], "clients": []}],
  "anonymousGroup": "anonymous"
})";

TEST(CommandBroker, SubscriptionRefusedByTheBrokerRecordsItsReasonCode) {
  if (!std::filesystem::exists(kDynamicSecurityPlugin)) GTEST_SKIP() << "no " << kDynamicSecurityPlugin;
  corvane::testing::TempDir security("corvane-dynsec");
  BrokerOptions options;
  options.extraConfig = {std::string("plugin ") + kDynamicSecurityPlugin,
                         "plugin_opt_config_file " + security.writeFile("dynsec.json", kDynamicSecurityConfig).string()};
  Broker broker(options);
  broker.start();
  struct Row {
    const char* name;
    const char* version;
    MqttVersion peerVersion;
    int reasonCode;  // what the broker answers a refused subscription with
  };
  const std::vector<Row> rows = {
      {"MQTT 5: not authorised", "5", MqttVersion::v5, 135},
      {"MQTT 3.1.1: failure", "3.1.1", MqttVersion::v311, 128},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    // What mosquitto itself answers a plain client, so that a change of the broker shows here first.
    TestPeer probe({.port = broker.port(), .version = row.peerVersion, .reconnect = false});
    ASSERT_TRUE(probe.connect().accepted());
    ASSERT_EQ(probe.subscribe("cmd/denied"), std::vector<int>{row.reasonCode}) << broker.logReport();
    probe.disconnect();

    const std::string children = command("allowed", "cmd/allowed", entry("p", "$")) + ", " +
                                 command("denied", "cmd/denied", entry("p", "$"));
    ClientModel m(clientConfig(broker.port(), std::string("refused-") + row.version,
                               R"("MQTTVersion": ")" + std::string(row.version) + "\""),
                  children, R"({"name": "p", "type": "integer"})");
    m.prepare();
    auto& allowed = m.child<Command>("allowed");
    auto& denied = m.child<Command>("denied");
    m.client().activate();
    ASSERT_TRUE(eventually([&] { return subscribed(allowed); })) << describe(allowed.subscribeData().error);
    ASSERT_TRUE(eventually([&] { return denied.subscribeData().error != make_error_code(CustomError::NotConnected); }))
        << broker.logReport();
    const auto refused = denied.subscribeData();
    EXPECT_FALSE(refused.subscribed);
    EXPECT_EQ(refused.error, makeReasonCodeError(row.reasonCode)) << describe(refused.error);
    // Never subscribed: the time still says so, and nothing was raised.
    EXPECT_EQ(refused.time, kNever);
    EXPECT_EQ(denied.subscriptionChangedEvent().raisedCount(), 0u);
    // The refusal is the denied command's alone.
    EXPECT_EQ(allowed.subscribeData().error, std::error_code()) << describe(allowed.subscribeData().error);
    m.client().deactivate();
  }
}

TEST(CommandBroker, RetainedMessageArrivesWithItsFlagAndLiveOnesWithout) {
  Broker broker;
  broker.start();
  TestPeer peer({.port = broker.port()});
  ASSERT_TRUE(peer.connect().accepted());
  // Kept by the broker before the client ever subscribes.
  peer.publishAndWait("cmd/retained", R"({"v": 1})", 1, true);

  ClientModel m(clientConfig(broker.port(), "retained"), command("c", "cmd/retained", entry("p", "$.v")),
                R"({"name": "p", "type": "integer"})");
  m.prepare();
  auto& c = m.child<Command>("c");
  const auto beforeConnect = now();
  m.client().activate();
  ASSERT_TRUE(eventually([&] { return c.receivedEvent().raisedCount() == 1; })) << broker.logReport();
  const auto retained = c.receiveData();
  EXPECT_TRUE(retained.retained);
  // Published with QoS 1, delivered with the subscription's QoS 0.
  EXPECT_EQ(retained.qos, 0);
  EXPECT_EQ(retained.errorSummary, "");
  EXPECT_GE(retained.time, beforeConnect);
  EXPECT_EQ(m.model().dataPoint("p")->value(), Value(std::int64_t{1}));

  // A live delivery to an existing subscription carries no retain flag, even when published retained.
  peer.publishAndWait("cmd/retained", R"({"v": 2})", 2, true);
  ASSERT_TRUE(eventually([&] { return c.receivedEvent().raisedCount() == 2; }));
  const auto live = c.receiveData();
  EXPECT_FALSE(live.retained);
  EXPECT_EQ(live.qos, 0);
  EXPECT_GE(live.time, retained.time);
  EXPECT_EQ(m.model().dataPoint("p")->value(), Value(std::int64_t{2}));

  // A message the payload cannot apply is still recorded with its flags.
  peer.publishAndWait("cmd/retained", R"({"w": 3})", 0, true);
  ASSERT_TRUE(eventually([&] { return c.receivedEvent().raisedCount() == 3; }));
  const auto failed = c.receiveData();
  EXPECT_EQ(failed.errorSummary, "\np: failed to find a JSON object member called \"v\"");
  EXPECT_FALSE(failed.retained);
  EXPECT_EQ(m.model().dataPoint("p")->value(), Value(std::int64_t{2}));
}

}  // namespace
}  // namespace corvane::plugins::mqttClient::testing
