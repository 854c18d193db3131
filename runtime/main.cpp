// corvane-run: the command-line runner of Corvane models with the MQTT skill.
#include <sys/resource.h>

#include <cstdio>
#include <exception>
#include <string>

#include <CLI/CLI.hpp>
#include <mosquitto.h>
#include <openssl/crypto.h>

#include "subcommands.hpp"

namespace {

// The libraries' versions as loaded, which may differ from the headers the runner was built with.
std::string versionText() {
  int major = 0, minor = 0, revision = 0;
  mosquitto_lib_version(&major, &minor, &revision);
  return std::string("corvane-run " CORVANE_VERSION "\nlibmosquitto ") + std::to_string(major) + '.' +
         std::to_string(minor) + '.' + std::to_string(revision) + "\n" + OpenSSL_version(OPENSSL_VERSION);
}

}  // namespace

int main(int argc, char** argv) {
  // Every client holds a few descriptors (its socket and two wake-up channels): a model of hundreds
  // of clients needs more than the usual soft limit.
  rlimit descriptors{};
  if (::getrlimit(RLIMIT_NOFILE, &descriptors) == 0 && descriptors.rlim_cur < descriptors.rlim_max) {
    descriptors.rlim_cur = descriptors.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &descriptors);
  }
  CLI::App app("Runs Corvane models with the MQTT skill, and checks them", "corvane-run");
  app.require_subcommand(1);
  app.set_version_flag("--version", versionText, "Print the versions of corvane-run, libmosquitto and OpenSSL");
  corvane::run::setupRun(app);
  corvane::run::setupValidate(app);
  corvane::run::setupRender(app);
  corvane::run::setupPath(app);
  corvane::run::setupTlsProbe(app);
  corvane::run::setupListen(app);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "corvane-run: %s\n", e.what());
    return 1;
  }
  return 0;
}
