#include "broker.hpp"

#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <utility>

#include "files.hpp"
#include "loopbackPort.hpp"
#include "waiting.hpp"

namespace corvane::testing {
namespace {

constexpr int kStartAttempts = 3;

// Started as root, mosquitto would switch to the "mosquitto" user, which cannot read our 0700
// directory; naming the current user keeps it as it is.
std::string currentUserName() {
  const passwd* entry = ::getpwuid(::geteuid());
  return entry != nullptr ? entry->pw_name : "root";
}

}  // namespace

Broker::~Broker() {
  process_.kill();
  if (options_.printLogOnFailure && ::testing::Test::HasFailure()) std::cout << logReport() << std::flush;
}

void Broker::start() {
  if (!started_) writeAccessFiles();
  for (int attempt = 1;; ++attempt) {
    if (!started_) {
      // Another process may take a port between our probe and mosquitto's bind: then pick again.
      port_ = options_.plainListener ? freeLoopbackPort() : 0;
      do {
        tlsPort_ = options_.tlsListener ? freeLoopbackPort() : 0;
      } while (tlsPort_ != 0 && tlsPort_ == port_);
    }
    writeConfig();
    const std::size_t logOffset = log().size();
    const auto failure = launch(logOffset);
    if (failure.empty()) {
      started_ = true;
      return;
    }
    if (started_ || attempt == kStartAttempts || log().find("Address already in use", logOffset) == std::string::npos) {
      throw std::runtime_error("mosquitto did not start: " + failure + "\n" + logReport());
    }
  }
}

std::string Broker::launch(std::size_t logOffset) {
  const std::unique_ptr<FILE, int (*)(FILE*)> logStream(std::fopen(logFile().c_str(), "ae"), &std::fclose);
  if (!logStream) failWithErrno("open " + logFile().string());
  std::fprintf(logStream.get(), "==== starting mosquitto: port %d, TLS port %d ====\n", port_, tlsPort_);
  std::fflush(logStream.get());
  process_ = ChildProcess::start({"/usr/sbin/mosquitto", "-c", (directory_ / "mosquitto.conf").string()},
                                 ::fileno(logStream.get()));
  // mosquitto logs "running" once every listener is bound and listening.
  std::optional<int> ended;
  const bool up = eventually(
      [&] {
        return (ended = process_.waitFor(std::chrono::milliseconds(0))) ||
               (log().find(" running", logOffset) != std::string::npos && (port_ == 0 || acceptsConnections(port_)));
      },
      kStartTimeout, std::chrono::milliseconds(10));
  if (ended) return "mosquitto ended with " + describeWaitStatus(*ended);
  if (up) return {};
  process_.kill();
  return "no connection was accepted within " + std::to_string(kStartTimeout.count()) + " s";
}

void Broker::stop() {
  if (!running()) return;
  process_.signal(SIGTERM);
  if (paused_) process_.signal(SIGCONT);  // a stopped process only sees SIGTERM once it runs again
  paused_ = false;
  if (!process_.waitFor(kStopTimeout)) process_.kill();
}

void Broker::kill() {
  process_.kill();
  paused_ = false;
}

void Broker::pause() {
  process_.signal(SIGSTOP);
  process_.waitUntilStopped();
  paused_ = true;
}

void Broker::resume() {
  if (paused_) process_.signal(SIGCONT);
  paused_ = false;
}

std::string Broker::log() const {
  std::error_code ignored;
  return std::filesystem::exists(logFile(), ignored) ? readFile(logFile()) : std::string{};
}

bool Broker::waitForLog(std::string_view text, std::chrono::milliseconds timeout) const {
  return eventually([&] { return log().find(text) != std::string::npos; }, timeout, std::chrono::milliseconds(10));
}

std::string Broker::logReport() const {
  return "---- mosquitto log (port " + std::to_string(port_) + ", TLS port " + std::to_string(tlsPort_) + ", " +
         directory().string() + ") ----\n" + log() + "---- end of mosquitto log ----\n";
}

void Broker::writeConfig() const {
  std::ostringstream config;
  config << "per_listener_settings false\nuser " << currentUserName() << "\npersistence false\nlog_dest stderr\n"
         << "log_timestamp true\nlog_timestamp_format %H:%M:%S\nconnection_messages true\n"
         << (options_.verboseLog ? "log_type all\n" : "") << "allow_anonymous " << std::boolalpha
         << options_.allowAnonymous << "\n";
  if (!options_.passwords.empty()) config << "password_file " << (directory_ / "passwords").string() << "\n";
  if (options_.acl) config << "acl_file " << (directory_ / "acl").string() << "\n";
  if (options_.maxQueuedMessages) config << "max_queued_messages " << *options_.maxQueuedMessages << "\n";
  for (const auto& line : options_.extraConfig) config << line << "\n";
  if (options_.plainListener) config << "\nlistener " << port_ << " 127.0.0.1\n";
  if (const auto& tls = options_.tlsListener) {
    config << "\nlistener " << tlsPort_ << " 127.0.0.1\n";
    if (!tls->caFile.empty()) config << "cafile " << tls->caFile.string() << "\n";
    config << "certfile " << tls->server.certificate.string() << "\nkeyfile " << tls->server.key.string()
           << "\nrequire_certificate " << tls->requireCertificate << "\n";
    for (const auto& line : tls->extraConfig) config << line << "\n";
  }
  directory_.writeFile("mosquitto.conf", config.str());
}

void Broker::writeAccessFiles() const {
  const auto passwordFile = (directory_ / "passwords").string();
  for (const auto& entry : options_.passwords) {
    std::vector<std::string> args{"mosquitto_passwd", "-b", passwordFile, entry.user, entry.password};
    if (&entry == &options_.passwords.front()) args.insert(args.begin() + 2, "-c");
    if (auto result = runProcess(args); result.exitCode != 0) {
      throw std::runtime_error("mosquitto_passwd failed for user \"" + entry.user + "\": " + result.output);
    }
  }
  if (!options_.acl) return;
  // Rules for anonymous clients come first, then each user's under a "user" line of its own.
  static constexpr const char* kAccess[] = {"read", "write", "readwrite", "deny"};
  auto rules = *options_.acl;
  std::stable_partition(rules.begin(), rules.end(), [](const AclRule& rule) { return rule.user.empty(); });
  std::string acl;
  for (const auto& rule : rules) {
    acl += (rule.user.empty() ? "" : "user " + rule.user + "\n") + "topic " + kAccess[static_cast<int>(rule.access)] +
           " " + rule.topic + "\n";
  }
  directory_.writeFile("acl", acl);
}

}  // namespace corvane::testing
