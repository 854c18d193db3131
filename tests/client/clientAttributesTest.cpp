// What the runtime sees of a client: its attributes in order with their first values, its events
// and its task.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <corvane/data.hpp>

#include "clientModel.hpp"
#include "skill/attributes.hpp"

namespace corvane::plugins::mqttClient::testing {
namespace {

using corvane::model::Attribute;

std::vector<std::string> attributeNames(Client& client) {
  std::vector<std::string> names;
  client.forEachAttribute([&](const Attribute& a) {
    names.emplace_back(a.name);
    return false;
  });
  return names;
}

std::vector<std::string> eventNames(Client& client) {
  std::vector<std::string> names;
  client.forEachEvent([&](const corvane::process::Event::Role& role, const std::shared_ptr<corvane::process::Event>&) {
    names.emplace_back(role.name);
    return false;
  });
  return names;
}

constexpr const char* kBirth = R"("birth": {"topic": "b", "payload": "up"})";

TEST(ClientAttributes, ListsSixAttributesAndTwoEventsWithoutBirthSevenAndThreeWithIt) {
  ClientModel plain(R"({"brokerAddress": "h"})");
  EXPECT_EQ(attributeNames(plain.client()),
            (std::vector<std::string>{"brokerAddress", "portNumber", "clientID", "deviceState", "connectionTime", "error"}));
  EXPECT_EQ(eventNames(plain.client()), (std::vector<std::string>{"connected", "disconnected"}));

  ClientModel withBirth(std::string(R"({"brokerAddress": "h", )") + kBirth + "}");
  EXPECT_EQ(attributeNames(withBirth.client()),
            (std::vector<std::string>{"brokerAddress", "portNumber", "clientID", "deviceState", "connectionTime", "error",
                                      "birthMessageTime"}));
  EXPECT_EQ(eventNames(withBirth.client()), (std::vector<std::string>{"connected", "disconnected", "birth"}));

  std::vector<std::string> tasks;
  withBirth.client().forEachTask([&](const corvane::process::Task::Role& role, const std::shared_ptr<corvane::process::Task>&) {
    tasks.emplace_back(role.name);
    return false;
  });
  EXPECT_EQ(tasks, std::vector<std::string>{"reconnect"});
}

TEST(ClientAttributes, ListingStopsWhenTheFunctionSaysSo) {
  ClientModel m(std::string(R"({"brokerAddress": "h", )") + kBirth + "}");
  int calls = 0;
  EXPECT_TRUE(m.client().forEachAttribute([&](const Attribute&) { return ++calls == 1; }));
  EXPECT_EQ(calls, 1);
  calls = 0;
  EXPECT_TRUE(m.client().forEachAttribute([&](const Attribute& a) {
    ++calls;
    return a == attributes::kBirthMessageTime;
  }));
  EXPECT_EQ(calls, 7);
  calls = 0;
  EXPECT_FALSE(m.client().forEachEvent([&](const auto&, const auto&) { return ++calls > 3; }));
  EXPECT_EQ(calls, 3);
  calls = 0;
  EXPECT_TRUE(m.client().forEachEvent([&](const auto&, const auto&) { return ++calls == 2; }));
  EXPECT_EQ(calls, 2);
}

TEST(ClientAttributes, ReadsConfigurationAndTheFirstStateRecord) {
  ClientModel m(std::string(R"({"brokerAddress": "broker.example:1884", )") + kBirth + "}");
  m.prepare();
  const auto& node = *m.model().findElement("broker");
  auto read = [&](std::string_view name) {
    auto handle = node.attributeReadHandle(name);
    EXPECT_TRUE(handle.isBound()) << name;
    auto value = handle.read();
    return value ? *value : corvane::data::Value{};
  };
  EXPECT_EQ(read("brokerAddress"), corvane::data::Value(std::string("broker.example")));
  EXPECT_EQ(corvane::data::toText(read("portNumber")), "1884");
  const auto clientId = std::get<std::string>(read("clientID"));
  EXPECT_EQ(clientId.size(), 23u);
  EXPECT_EQ(clientId.find_first_not_of("0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"),
            std::string::npos);
  EXPECT_TRUE(clientId.starts_with("CORV0"));
  EXPECT_EQ(read("deviceState"), corvane::data::Value(false));
  EXPECT_EQ(read("connectionTime"), corvane::data::Value(kNever));
  EXPECT_EQ(read("error"), corvane::data::Value(make_error_code(CustomError::NotConnected)));
  EXPECT_EQ(read("birthMessageTime"), corvane::data::Value(kNever));
}

TEST(ClientAttributes, MakesNoHandleForAttributesItDoesNotShow) {
  ClientModel m(R"({"brokerAddress": "h"})");
  m.prepare();
  EXPECT_FALSE(m.client().makeReadHandle(attributes::kBirthMessageTime));
  EXPECT_FALSE(m.client().makeReadHandle(attributes::kTopic));
  EXPECT_FALSE(m.client().makeReadHandle(attributes::kPublishTime));
  EXPECT_TRUE(m.client().makeReadHandle(attributes::kError));
  // The default ports follow TLS.
  auto port = m.client().makeReadHandle(attributes::kPortNumber);
  ASSERT_TRUE(port);
  EXPECT_EQ(port->readInt64().value(), 1883);
  ClientModel tls(R"({"brokerAddress": "h", "useTLS": true})");
  auto tlsPort = tls.client().makeReadHandle(attributes::kPortNumber);
  ASSERT_TRUE(tlsPort);
  EXPECT_EQ(tlsPort->readInt64().value(), 8883);
}

TEST(ClientAttributes, HandlesAndEventsKeepTheClientAlive) {
  std::weak_ptr<Client> weak;
  std::optional<corvane::data::ReadHandle> clientId;
  std::shared_ptr<corvane::process::Event> connected;
  {
    ClientModel m(R"({"brokerAddress": "h", "clientID": "kept"})");
    weak = m.client().sharedFromThis();
    clientId = m.client().makeReadHandle(attributes::kClientId);
    m.client().forEachEvent([&](const auto& role, const std::shared_ptr<corvane::process::Event>& event) {
      if (role == corvane::process::Event::kConnected) connected = event;
      return false;
    });
  }
  EXPECT_FALSE(weak.expired());
  ASSERT_TRUE(clientId);
  EXPECT_EQ(clientId->readString().value(), "kept");
  connected.reset();
  clientId.reset();
  EXPECT_TRUE(weak.expired());
}

}  // namespace
}  // namespace corvane::plugins::mqttClient::testing
