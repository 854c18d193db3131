// Commands against a real mosquitto: a subscription its access rules refuse, and messages at and
// beyond the size a command takes.
#include <gtest/gtest.h>

#include "broker.hpp"
#include "clientModel.hpp"
#include "command/command.hpp"
#include "errors/customError.hpp"
#include "errors/mosquittoErrors.hpp"
#include "tempDir.hpp"
#include "testPeer.hpp"

namespace corvane::plugins::mqttClient {
namespace {

using namespace corvane::testing;
using corvane::data::Value;

std::string command(std::string_view name, std::string_view topic) {
  return R"({"class": "Command", "name": ")" + std::string(name) + R"(", "config": {"topic": ")" + std::string(topic) +
         R"(", "payload": [{"@DataPoint": {"dataPoint": "p", "jsonPath": "$.v"}}]}})";
}
constexpr const char* kPoint = R"({"name": "p", "type": "integer", "value": 0})";

// mosquitto's acl_file never refuses a SUBSCRIBE (it grants it and drops at delivery what the
// client may not read): a refusal needs the dynamic-security plug-in. Anonymous clients may
// subscribe to "cmd/allowed" and to nothing else.
constexpr const char* kDynamicSecurityPlugin = "/usr/lib/x86_64-linux-gnu/mosquitto_dynamic_security.so";
constexpr const char* kDynamicSecurityConfig = R"({"clients": [], "anonymousGroup": "anonymous",
  "defaultACLAccess": {"publishClientSend": true, "publishClientReceive": true, "subscribe": false, "unsubscribe": true},
  "roles": [{"rolename": "reader", "acls": [{"acltype": "subscribeLiteral", "topic": "cmd/allowed", "priority": 0, "allow": true}]}],
  "groups": [{"groupname": "anonymous", "roles": [{"rolename": "reader", "priority": 0}], "clients": []}]})";

TEST(CommandBroker, SubscriptionRefusedByTheBrokerRecordsItsReasonCode) {
  if (!std::filesystem::exists(kDynamicSecurityPlugin)) GTEST_SKIP() << "no " << kDynamicSecurityPlugin;
  TempDir security("corvane-dynsec");
  Broker broker({.extraConfig = {std::string("plugin ") + kDynamicSecurityPlugin,
                                 "plugin_opt_config_file " +
                                     security.writeFile("dynsec.json", kDynamicSecurityConfig).string()}});
  broker.start();
  // The reason code mosquitto answers a refused subscription with.
  for (const auto& [version, reasonCode] : {std::pair{"5", 135}, std::pair{"3.1.1", 128}}) {
    SCOPED_TRACE(version);
    ClientModel m(clientConfig(broker.port(), std::string("refused-") + version,
                               R"("MQTTVersion": ")" + std::string(version) + "\""),
                  command("allowed", "cmd/allowed") + ", " + command("denied", "cmd/denied"), kPoint);
    m.prepare();
    auto& allowed = m.child<Command>("allowed");
    auto& denied = m.child<Command>("denied");
    m.client().activate();
    ASSERT_TRUE(eventually([&] { return allowed.subscribeData().subscribed; })) << describe(allowed.subscribeData().error);
    ASSERT_TRUE(eventually([&] { return denied.subscribeData().error != make_error_code(CustomError::NotConnected); }))
        << broker.logReport();
    const auto refused = denied.subscribeData();
    EXPECT_EQ(refused.error, makeReasonCodeError(reasonCode)) << describe(refused.error);
    // Never subscribed: the time still says so, and nothing was raised.
    EXPECT_TRUE(!refused.subscribed && refused.time == kNever);
    EXPECT_EQ(denied.subscriptionChangedEvent().raisedCount(), 0u);
    EXPECT_EQ(allowed.subscribeData().error, std::error_code()) << describe(allowed.subscribeData().error);
  }
}

constexpr std::chrono::seconds kBigWait{60};

// {"v": V, "pad": "xxx..."} of exactly `size` bytes.
std::string message(std::int64_t v, std::size_t size) {
  std::string text = R"({"v": )" + std::to_string(v) + R"(, "pad": ")";
  text.append(size - text.size() - 2, 'x');
  return text + "\"}";
}

// Messages at a command's size limit and beyond it, through a real mosquitto (which takes any
// size MQTT allows): one of the largest size a command takes is applied; a larger one is refused
// whole with a summary under MQTT 3.1.1, where the broker forwards it, and is never sent under
// MQTT 5, where the client announced the largest packet it takes.
TEST(CommandBigMessage, ALargestMessageIsAppliedALargerOneRefusedWhole) {
  constexpr std::size_t kLimit = CommandPayload::kMaxMessageSize;
  // MQTT's remaining length stops just short of 256 MiB: this leaves room for the topic.
  constexpr std::size_t kLargest = (std::size_t{256} << 20) - 1024;
  enum class Outcome { Applied, Refused, NotSent };
  // MQTT version, message size, outcome.
  const std::tuple<const char*, std::size_t, Outcome> rows[] = {
      {"3.1.1", kLimit, Outcome::Applied},
      {"3.1.1", kLargest, Outcome::Refused},
      {"5", kLimit, Outcome::Applied},
      {"5", kLargest, Outcome::NotSent},
  };
  Broker broker;
  broker.start();
  TestPeer peer({.port = broker.port()});
  ASSERT_TRUE(peer.connect().accepted());
  std::int64_t v = 0;
  for (const auto& [version, size, outcome] : rows) {
    SCOPED_TRACE(std::string("MQTT ") + version + ", " + std::to_string(size) + " bytes");
    ClientModel m(clientConfig(broker.port(), std::string("big-") + version, R"("MQTTVersion": ")" + std::string(version) + "\""),
                  command("c", "cmd/big"), kPoint);
    m.prepare();
    auto& c = m.child<Command>("c");
    m.client().activate();
    ASSERT_TRUE(eventually([&] { return c.subscribeData().subscribed; })) << broker.logReport();

    peer.publishAndWait("cmd/big", message(++v, size), 0, false, nullptr, kBigWait);
    if (outcome == Outcome::NotSent) {
      // Messages keep their order: once the next one is applied, the large one would have come.
      peer.publishAndWait("cmd/big", message(++v, 100), 0);
      ASSERT_TRUE(eventually([&] { return m.model.dataPoint("p")->value() == Value(v); }, kBigWait));
    }
    ASSERT_TRUE(eventually([&] { return c.receivedEvent().raisedCount() != 0; }, kBigWait));
    EXPECT_EQ(c.receivedEvent().raisedCount(), 1u);
    const auto received = c.receiveData();
    const auto point = m.model.dataPoint("p")->value();
    if (outcome == Outcome::Refused) {
      EXPECT_EQ(received.errorSummary, "message of " + std::to_string(size) +
                                           " bytes is larger than the 67108864 bytes a command takes");
      EXPECT_EQ(point, Value(std::int64_t{0}));
    } else {
      EXPECT_EQ(received.errorSummary, "");
      EXPECT_EQ(point, Value(v));
    }
    EXPECT_TRUE(m.client().data().deviceState);
    m.client().deactivate();
  }
}

}  // namespace
}  // namespace corvane::plugins::mqttClient
