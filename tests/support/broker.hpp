#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <string_view>
#include <utility>

#include "brokerOptions.hpp"
#include "childProcess.hpp"
#include "tempDir.hpp"

namespace corvane::testing {

// Owning handle of a real mosquitto (/usr/sbin/mosquitto) on 127.0.0.1, with its configuration,
// password file, ACL file and log in a directory of its own. Ports are chosen at the first start()
// and kept by restart(), so clients can reconnect to the same address. Several brokers (in one or
// in parallel test binaries) do not get in each other's way. The process gets SIGKILL when the
// handle goes away or when the thread that started it ends.
class Broker {
 public:
  static constexpr std::chrono::seconds kStartTimeout{10};
  static constexpr std::chrono::seconds kStopTimeout{5};

  explicit Broker(BrokerOptions options = {}) : options_(std::move(options)) {}
  ~Broker();
  Broker(const Broker&) = delete;
  Broker& operator=(const Broker&) = delete;

  // Starts mosquitto and returns once it accepts connections; throws std::runtime_error with the
  // broker's log when it does not within kStartTimeout.
  void start();
  // Orderly shut-down: SIGTERM, then SIGKILL when it has not ended after kStopTimeout.
  void stop();
  // Abrupt end (SIGKILL): clients see their connection lost, not closed by the broker.
  void kill();
  // SIGSTOP / SIGCONT: the broker keeps its connections but answers nothing meanwhile.
  void pause();
  void resume();
  // stop() then start(), on the same ports.
  void restart() {
    stop();
    start();
  }

  bool running() const noexcept { return process_.running(); }
  int port() const noexcept { return port_; }        // plain listener, 0 without one
  int tlsPort() const noexcept { return tlsPort_; }  // TLS listener, 0 without one
  const std::filesystem::path& directory() const noexcept { return directory_.path(); }

  // Everything mosquitto printed, across restarts.
  std::string log() const;
  // True once the log contains text (e.g. "Received DISCONNECT from my-client"), checked every 10 ms.
  bool waitForLog(std::string_view text, std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;
  // The log with a heading naming this broker, for failure messages:
  //   ASSERT_TRUE(peer.connect().accepted()) << broker.logReport();
  std::string logReport() const;

 private:
  std::filesystem::path logFile() const { return directory_ / "mosquitto.log"; }
  void writeConfig() const;
  void writeAccessFiles() const;  // passwords and ACL
  // Empty when the broker is up; otherwise why not. logOffset: where its log starts.
  std::string launch(std::size_t logOffset);

  BrokerOptions options_;
  TempDir directory_{"corvane-broker"};
  ChildProcess process_;
  int port_ = 0;
  int tlsPort_ = 0;
  bool paused_ = false;
  bool started_ = false;
};

}  // namespace corvane::testing
