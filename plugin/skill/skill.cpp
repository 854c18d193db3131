#include "skill/skill.hpp"

#include <mosquitto.h>

#include "client/client.hpp"
#include "command/command.hpp"
#include "topic/topic.hpp"

namespace corvane::plugins::mqttClient {

namespace {
// Constructing this object when the library loads is what registers the skill.
const corvane::skill::Skill::ConcreteClass<Skill, "MQTT", kSkillUuid, ClientClass, TopicClass, CommandClass>
    theSkillClass;
}  // namespace

const corvane::skill::Skill::Class& skillClass() noexcept { return theSkillClass; }

Skill::Skill() { mosquitto_lib_init(); }

Skill::~Skill() { mosquitto_lib_cleanup(); }

std::shared_ptr<corvane::skill::Element> Skill::createElement(const corvane::skill::Element::Class& elementClass,
                                                              corvane::skill::ElementFactory& factory) {
  if (&elementClass != &ClientClass::instance) return nullptr;
  return factory.create<Client>();
}

}  // namespace corvane::plugins::mqttClient
