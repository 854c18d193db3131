#include "broker.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <utility>

#include "childProcess.hpp"
#include "files.hpp"
#include "loopbackPort.hpp"

namespace corvane::testing {
namespace {

constexpr const char* kMosquittoProgram = "/usr/sbin/mosquitto";
constexpr const char* kConfigName = "mosquitto.conf";
constexpr const char* kPasswordFileName = "passwords";
constexpr const char* kAclFileName = "acl";
constexpr int kStartAttempts = 3;

const char* accessName(AclAccess access) {
  switch (access) {
    case AclAccess::read: return "read";
    case AclAccess::write: return "write";
    case AclAccess::readwrite: return "readwrite";
    case AclAccess::deny: return "deny";
  }
  return "deny";
}

// Started as root, mosquitto would switch to the "mosquitto" user, which cannot read our 0700
// directory; naming the current user keeps it as it is.
std::string currentUserName() {
  const passwd* entry = ::getpwuid(::geteuid());
  return entry != nullptr ? entry->pw_name : "root";
}

bool contains(const std::string& text, std::string_view part) {
  return text.find(part) != std::string::npos;
}

std::string fileTail(const std::filesystem::path& file, std::size_t offset) {
  std::error_code ignored;
  if (!std::filesystem::exists(file, ignored)) return {};
  auto text = readFile(file);
  return offset < text.size() ? text.substr(offset) : std::string{};
}

}  // namespace

Broker::Broker(BrokerOptions options) : options_(std::move(options)) {
  if (!options_.plainListener && !options_.tlsListener) {
    throw std::invalid_argument("a broker needs a plain or a TLS listener");
  }
}

Broker::~Broker() {
  process_.kill();
  if (!options_.printLogOnFailure || !::testing::Test::HasFailure()) return;
  try {
    std::cout << logReport() << std::flush;
  } catch (...) {  // nothing to add to a test that already failed
  }
}

void Broker::start() {
  if (running()) throw std::logic_error("the broker is already running on port " + std::to_string(port_));
  if (!started_) {
    writePasswordFile();
    writeAclFile();
  }
  for (int attempt = 1;; ++attempt) {
    if (!started_) {
      // Another process may take a port between our probe and mosquitto's bind: then pick again.
      port_ = options_.plainListener ? freeLoopbackPort() : 0;
      do {
        tlsPort_ = options_.tlsListener ? freeLoopbackPort() : 0;
      } while (tlsPort_ != 0 && tlsPort_ == port_);
    }
    writeConfig();
    const auto logOffset = std::filesystem::exists(logFile()) ? std::filesystem::file_size(logFile()) : 0;
    const auto failure = launch();
    if (failure.empty()) {
      started_ = true;
      return;
    }
    if (!started_ && attempt < kStartAttempts && contains(fileTail(logFile(), logOffset), "Address already in use")) {
      continue;
    }
    throw std::runtime_error("mosquitto did not start: " + failure + "\n" + logReport());
  }
}

std::string Broker::launch() {
  const auto logPath = logFile();
  const auto logOffset = std::filesystem::exists(logPath) ? std::filesystem::file_size(logPath) : 0;
  {
    std::ostringstream heading;
    heading << "==== starting mosquitto: port " << port_ << ", TLS port " << tlsPort_ << " ====\n";
    const int fd = ::open(logPath.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) throw std::system_error(errno, std::generic_category(), "open " + logPath.string());
    const auto text = heading.str();
    [[maybe_unused]] auto written = ::write(fd, text.data(), text.size());
    try {
      process_ = ChildProcess::start({kMosquittoProgram, "-c", (directory_ / kConfigName).string()}, fd);
    } catch (...) {
      ::close(fd);
      throw;
    }
    ::close(fd);
  }

  const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
  for (;;) {
    if (auto status = process_.poll()) return "mosquitto ended with " + describeWaitStatus(*status);
    // mosquitto logs "running" once every listener is bound and listening.
    const auto output = fileTail(logPath, logOffset);
    if (contains(output, " running") && (port_ == 0 || acceptsConnections(port_))) return {};
    if (std::chrono::steady_clock::now() >= deadline) {
      process_.kill();
      return "no connection was accepted within " + std::to_string(kStartTimeout.count()) + " s";
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
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
  if (!running()) throw std::logic_error("pause of a broker that is not running");
  process_.signal(SIGSTOP);
  process_.waitUntilStopped();
  paused_ = true;
}

void Broker::resume() {
  if (!paused_) return;
  process_.signal(SIGCONT);
  paused_ = false;
}

void Broker::restart() {
  stop();
  start();
}

std::string Broker::log() const {
  std::error_code ignored;
  return std::filesystem::exists(logFile(), ignored) ? readFile(logFile()) : std::string{};
}

bool Broker::waitForLog(std::string_view text, std::chrono::milliseconds timeout) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (contains(log(), text)) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

std::string Broker::logReport() const {
  std::ostringstream report;
  report << "---- mosquitto log (port " << port_ << ", TLS port " << tlsPort_ << ", " << directory().string()
         << ") ----\n"
         << log() << "---- end of mosquitto log ----\n";
  return report.str();
}

void Broker::writeConfig() const {
  std::ostringstream config;
  config << "per_listener_settings false\n"
         << "user " << currentUserName() << "\n"
         << "persistence false\n"
         << "log_dest stderr\n"
         << "log_timestamp true\n"
         << "log_timestamp_format %H:%M:%S\n"
         << "connection_messages true\n";
  if (options_.verboseLog) config << "log_type all\n";
  config << "allow_anonymous " << (options_.allowAnonymous ? "true" : "false") << "\n";
  if (!options_.passwords.empty()) config << "password_file " << (directory_ / kPasswordFileName).string() << "\n";
  if (options_.acl) config << "acl_file " << (directory_ / kAclFileName).string() << "\n";
  if (options_.maxQueuedMessages) config << "max_queued_messages " << *options_.maxQueuedMessages << "\n";
  for (const auto& line : options_.extraConfig) config << line << "\n";
  if (options_.plainListener) config << "\nlistener " << port_ << " 127.0.0.1\n";
  if (const auto& tls = options_.tlsListener) {
    config << "\nlistener " << tlsPort_ << " 127.0.0.1\n";
    if (!tls->caFile.empty()) config << "cafile " << tls->caFile.string() << "\n";
    config << "certfile " << tls->server.certificate.string() << "\n"
           << "keyfile " << tls->server.key.string() << "\n"
           << "require_certificate " << (tls->requireCertificate ? "true" : "false") << "\n";
    for (const auto& line : tls->extraConfig) config << line << "\n";
  }
  directory_.writeFile(kConfigName, config.str());
}

void Broker::writePasswordFile() const {
  const auto file = (directory_ / kPasswordFileName).string();
  bool first = true;
  for (const auto& entry : options_.passwords) {
    std::vector<std::string> args{"mosquitto_passwd", "-b"};
    if (first) args.push_back("-c");
    args.insert(args.end(), {file, entry.user, entry.password});
    auto result = runProcess(args);
    if (result.exitCode != 0) {
      throw std::runtime_error("mosquitto_passwd failed for user \"" + entry.user + "\": " + result.output);
    }
    first = false;
  }
}

void Broker::writeAclFile() const {
  if (!options_.acl) return;
  // Rules for anonymous clients come first, then each user's under its "user" line.
  std::vector<std::string> users{""};
  for (const auto& r : *options_.acl) {
    if (std::find(users.begin(), users.end(), r.user) == users.end()) users.push_back(r.user);
  }
  std::ostringstream acl;
  for (const auto& user : users) {
    if (!user.empty()) acl << "\nuser " << user << "\n";
    for (const auto& r : *options_.acl) {
      if (r.user == user) acl << "topic " << accessName(r.access) << ' ' << r.topic << "\n";
    }
  }
  directory_.writeFile(kAclFileName, acl.str());
}

}  // namespace corvane::testing
