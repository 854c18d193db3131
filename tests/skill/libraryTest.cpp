// The built skill library registers itself when loaded, and only then: nothing is exported
// (skillLibraryExportsNothing checks its dynamic symbol table). Since none of its template statics
// is a process-wide unique symbol either, glibc really unloads it, and the skill leaves the registry.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <corvane/skill.hpp>

namespace {

TEST(SkillLibrary, LoadingRegistersTheSkill) {
  ASSERT_EQ(corvane::skill::findSkillClass("MQTT"), nullptr);
  void* library = dlopen(CORVANE_SKILL_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << dlerror();
  const auto* skillClass = corvane::skill::findSkillClass("MQTT");
  ASSERT_NE(skillClass, nullptr);
  EXPECT_EQ(skillClass->uuid().toString(), "600b9101-0241-4286-9f5d-f5f68d7fc6af");
  {
    auto skill = skillClass->createSkill();
    EXPECT_NE(skill, nullptr);
  }
  EXPECT_EQ(dlsym(library, "createSkill"), nullptr);
  ASSERT_EQ(dlclose(library), 0);
  EXPECT_EQ(corvane::skill::findSkillClass("MQTT"), nullptr);
}

}  // namespace
