#pragma once
// The "MQTT" skill: its identity, its three element classes and the libmosquitto lifetime.
#include <corvane/skill.hpp>
#include <corvane/utils/core.hpp>

namespace corvane::plugins::mqttClient {

using ClientClass = corvane::skill::Element::ConcreteClass<
    "Client", corvane::utils::core::Uuid::literal("38b57789-7c31-49c9-902f-193c24da48f7"), "MQTT client">;
using TopicClass = corvane::skill::Element::ConcreteClass<
    "Topic", corvane::utils::core::Uuid::literal("48bacd51-73c3-41e8-a7a1-e3c1af0babc4"), "MQTT topic">;
using CommandClass = corvane::skill::Element::ConcreteClass<
    "Command", corvane::utils::core::Uuid::literal("e8eabc29-decf-4091-b10b-09256edc3c76"), "MQTT command">;

inline constexpr corvane::utils::core::Uuid kSkillUuid =
    corvane::utils::core::Uuid::literal("600b9101-0241-4286-9f5d-f5f68d7fc6af");

// libmosquitto is initialised exactly while a skill object exists; it outlives every element.
class Skill final : public corvane::skill::Skill {
 public:
  Skill();
  ~Skill() override;
  std::shared_ptr<corvane::skill::Element> createElement(const corvane::skill::Element::Class& elementClass,
                                                         corvane::skill::ElementFactory& factory) override;
};

// The skill class object that loading the library entered into the runtime's registry.
const corvane::skill::Skill::Class& skillClass() noexcept;

}  // namespace corvane::plugins::mqttClient
