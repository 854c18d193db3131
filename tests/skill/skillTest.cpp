// The skill as the runtime finds it: its element classes and where each may be created.
#include <gtest/gtest.h>

#include <corvane/runtime.hpp>
#include <corvane/skill.hpp>

#include "client/client.hpp"
#include "command/command.hpp"
#include "skill/skill.hpp"
#include "topic/topic.hpp"

namespace corvane::plugins::mqttClient {
namespace {

struct Registry final : corvane::skill::ElementClassRegistry {
  std::string names;
  void add(const corvane::skill::Element::Class& c) override { names += std::string(c.name()) + " "; }
};

// Creates elements the way the runtime does and keeps them alive.
class Factory final : public corvane::skill::ElementFactory {
 public:
  std::vector<std::shared_ptr<corvane::model::Element>> nodes;

 protected:
  corvane::model::Element& attach(std::shared_ptr<corvane::skill::Element>) override {
    struct Node final : corvane::model::Element {
      using corvane::model::Element::Element;
      corvane::model::ElementCategory category() const noexcept override {
        return corvane::model::ElementCategory::kSkillElement;
      }
    };
    nodes.push_back(std::make_shared<Node>("e", "e", corvane::utils::core::Uuid{}));
    return *nodes.back();
  }
};

TEST(Skill, RegistersClientFirstAndCreatesOnlyClientsAtTopLevelAndOnlyTopicsAndCommandsBelowThem) {
  Registry registry;
  skillClass().registerElements(registry);
  EXPECT_EQ(registry.names, "Client Topic Command ");
  auto skill = skillClass().createSkill();
  Factory factory;
  EXPECT_EQ(skill->createElement(TopicClass::instance, factory), nullptr);
  EXPECT_EQ(skill->createElement(CommandClass::instance, factory), nullptr);
  auto element = skill->createElement(ClientClass::instance, factory);
  auto client = std::dynamic_pointer_cast<Client>(element);
  ASSERT_NE(client, nullptr);
  EXPECT_EQ(client->category(), corvane::model::ElementCategory::kConnection);
  EXPECT_EQ(client->createChildElement(ClientClass::instance, factory), nullptr);

  auto t1 = client->createChildElement(TopicClass::instance, factory);
  auto c1 = client->createChildElement(CommandClass::instance, factory);
  auto t2 = client->createChildElement(TopicClass::instance, factory);
  EXPECT_EQ(client->topics(), (std::vector<Topic*>{dynamic_cast<Topic*>(t1.get()), dynamic_cast<Topic*>(t2.get())}));
  EXPECT_EQ(client->commands(), std::vector<Command*>{dynamic_cast<Command*>(c1.get())});
  EXPECT_EQ(t1->category(), corvane::model::ElementCategory::kSkillElement);
  EXPECT_EQ(t1->createChildElement(TopicClass::instance, factory), nullptr);
}

}  // namespace
}  // namespace corvane::plugins::mqttClient
