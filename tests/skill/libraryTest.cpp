// The built skill library registers itself when loaded, and only then: nothing is exported.
// (glibc keeps a library with unique template statics loaded after dlclose, so unloading is not
// checked.)
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
  dlclose(library);
}

}  // namespace
