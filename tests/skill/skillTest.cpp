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
  std::vector<const corvane::skill::Element::Class*> classes;
  void add(const corvane::skill::Element::Class& c) override { classes.push_back(&c); }
};

TEST(Skill, RegistersItsElementClassesClientFirst) {
  Registry registry;
  skillClass().registerElements(registry);
  std::vector<std::string_view> names;
  for (const auto* c : registry.classes) names.push_back(c->name());
  EXPECT_EQ(names, (std::vector<std::string_view>{"Client", "Topic", "Command"}));
}

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

TEST(Skill, CreatesOnlyClientsAtTopLevelAndOnlyTopicsAndCommandsBelowThem) {
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
  ASSERT_EQ(client->topics().size(), 2u);
  EXPECT_EQ(client->topics()[0], t1.get());
  EXPECT_EQ(client->topics()[1], t2.get());
  ASSERT_EQ(client->commands().size(), 1u);
  EXPECT_EQ(client->commands()[0], c1.get());
  EXPECT_EQ(t1->category(), corvane::model::ElementCategory::kSkillElement);
  EXPECT_EQ(t1->createChildElement(TopicClass::instance, factory), nullptr);
}

}  // namespace
}  // namespace corvane::plugins::mqttClient
