// Commands against a real mosquitto whose access rules refuse a subscription.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "broker.hpp"
#include "clientModel.hpp"
#include "command/command.hpp"
#include "errors/customError.hpp"
#include "errors/mosquittoErrors.hpp"
#include "tempDir.hpp"

namespace corvane::plugins::mqttClient {
namespace {

using namespace corvane::testing;

std::string command(std::string_view name, std::string_view topic) {
  return R"({"class": "Command", "name": ")" + std::string(name) + R"(", "config": {"topic": ")" + std::string(topic) +
         R"(", "payload": [{"@DataPoint": {"dataPoint": "p", "jsonPath": "$.v"}}]}})";
}
constexpr const char* kPoint = R"({"name": "p", "type": "integer"})";

// mosquitto's acl_file never refuses a SUBSCRIBE (it grants it and drops at delivery what the
// client may not read): a refusal needs the dynamic-security plug-in. Anonymous clients may
// subscribe to "cmd/allowed" and to nothing else.
constexpr const char* kDynamicSecurityPlugin = "/usr/lib/x86_64-linux-gnu/mosquitto_dynamic_security.so";
constexpr const char* kDynamicSecurityConfig = R"({
  "defaultACLAccess": {"publishClientSend": true, "publishClientReceive": true, "subscribe": false, "unsubscribe": true},
  "clients": [],
  "roles": [{"rolename": "reader", "acls": [{"acltype": "subscribeLiteral", "topic": "cmd/allowed", "priority": 0, "allow": true}]}],
  "groups": [{"groupname": "anonymous", "roles": [{"rolename": "reader", "priority": 0}], "clients": []}],
  "anonymousGroup": "anonymous"
})";

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
    EXPECT_FALSE(refused.subscribed);
    EXPECT_EQ(refused.error, makeReasonCodeError(reasonCode)) << describe(refused.error);
    // Never subscribed: the time still says so, and nothing was raised.
    EXPECT_EQ(refused.time, kNever);
    EXPECT_EQ(denied.subscriptionChangedEvent().raisedCount(), 0u);
    EXPECT_EQ(allowed.subscribeData().error, std::error_code()) << describe(allowed.subscribeData().error);
  }
}

}  // namespace
}  // namespace corvane::plugins::mqttClient
