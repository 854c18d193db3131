// The built skill library registers itself when loaded, and only then: nothing is exported
// (skillLibraryExportsNothing checks its dynamic symbol table). Since none of its template statics
// is a process-wide unique symbol either, glibc really unloads it, and the skill leaves the registry.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <cstdlib>
#include <thread>

#include <corvane/runtime.hpp>
#include <corvane/skill.hpp>

#include "hangingLookups.hpp"

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

// A client whose broker name is still being looked up when the model ends and the library is
// unloaded: once the resolver answers, no thread returns into the library's code.
TEST(SkillLibrary, UnloadedWhileALookupHangsLeavesNothingBehind) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer builds look names up on a thread of the skill's own";
#endif
  EXPECT_EXIT(
      {
        corvane::testing::HangingLookups hanging;
        {
          corvane::runtime::Model model;
          model.loadText(std::string(R"({"dataPoints": [], "elements": [{"skill": "MQTT", "class": "Client",
              "name": "b", "config": {"brokerAddress": ")") + corvane::testing::HangingLookups::kName + R"(:1883"}}]})",
                         ".", "m.json", {{CORVANE_SKILL_LIBRARY}});
          model.realizeAndPrepare();
          model.start(1);
          std::this_thread::sleep_for(std::chrono::milliseconds(300));
          model.stop();
          model.shutdown();
        }
        // Still loaded (or mapped): proves nothing.
        if (corvane::skill::findSkillClass("MQTT") != nullptr) std::_Exit(2);
        std::ifstream maps("/proc/self/maps");
        if (std::string(std::istreambuf_iterator<char>(maps), {}).find("libcorvane-mqtt") != std::string::npos) {
          std::_Exit(4);
        }
        // The resolver reads its alias file now (once for each address family it asks for), and
        // answers.
        bool read = false;
        for (int i = 0; i < 200; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(10))) {
          const int fifo = ::open(std::getenv("HOSTALIASES"), O_WRONLY | O_NONBLOCK);
          if (fifo < 0) continue;  // nobody reading it at the moment
          read = true;
          [[maybe_unused]] auto written = ::write(fifo, "x localhost\n", 12);
          ::close(fifo);
        }
        if (!read) std::_Exit(3);  // no lookup was under way
        std::this_thread::sleep_for(std::chrono::seconds(1));
        std::_Exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
