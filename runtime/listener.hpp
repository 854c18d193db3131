#pragma once
// One Client element's commands, listened to on a connection of their own: the client's broker and
// settings, but another client identifier, no will and no birth message, so the real client is
// neither pushed off the broker nor announced. Every message on a command topic is shown as what
// the command would select from it and write; nothing is written.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <vector>

#include <mosquitto.h>

#include "client/client.hpp"
#include "command/command.hpp"
#include "outputWriter.hpp"

namespace corvane::run {

namespace mqtt = plugins::mqttClient;

// The listeners' lines: message lines on one descriptor, notes (connected, subscribed, failures)
// on another; each whole, handed to a writer thread per descriptor, so that the network threads
// that make them never wait for a reader. A lines' reader that has gone ends the listening as
// SIGTERM does.
class ListenOutput {
 public:
  ListenOutput(int lines, int notes);
  void line(const std::string& text) { lines_.write(text + '\n'); }
  void note(const std::string& text) { notes_.write(text + '\n'); }

 private:
  OutputWriter lines_;
  OutputWriter notes_;
};

class Listener {
 public:
  struct CommandElement {
    std::string path;  // in the model
    const mqtt::Command* command;
  };

  // How long a failed or lost connection waits before the next attempt.
  static constexpr std::chrono::seconds kRetryDelay{1};
  // Payloads are shown up to this many bytes of text.
  static constexpr std::size_t kMaxPayloadText = 4096;

  // `client` must be prepared (its TLS context is used) and outlive the listener.
  Listener(const mqtt::Client& client, std::string clientPath, std::vector<CommandElement> commands,
           ListenOutput& output);
  ~Listener();
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  // Starts the network thread: connect, subscribe, show messages, retry after a failure.
  void start();
  // Disconnects and ends the thread.
  void stop();

  const std::string& clientId() const noexcept { return clientId_; }

 private:
  friend class ListenerCallbacks;

  void run(std::stop_token stop);
  // The broker's name, looked up where a stop is seen at once, as the client looks it up: a
  // resolver that never answers must not hold up the end of the listener. Returns the lookup's
  // failure; nothing when the name resolved or the wait was stopped. libmosquitto then connects by
  // the name, as the client does: it is the name sent in the TLS handshake, and the client's TLS
  // context checks the broker's certificate against it.
  std::error_code lookUpBroker(const std::stop_token& stop);
  // Waits out one connection: the reason it ended, or nothing when it was stopped.
  std::error_code serve(const std::stop_token& stop);
  void handleConnect(int rc);
  void handleDisconnect(int rc);
  void handleSubscribe(int messageId, int count, const int* granted);
  void handleMessage(const mosquitto_message& message);
  void note(std::string_view text);

  const mqtt::Client& client_;
  std::string clientPath_;
  std::vector<CommandElement> commands_;
  std::vector<std::string> topics_;  // distinct, in model order
  ListenOutput& output_;
  std::string clientId_;
  std::string address_;

  // Network thread only.
  std::error_code refusal_;                       // this attempt's CONNACK refused it
  std::error_code disconnectReason_;              // the broker's DISCONNECT reason code
  std::unordered_map<int, std::string> pending_;  // message id of a SUBSCRIBE -> its topic

  bool connected_ = false;                        // this attempt's CONNACK accepted it

  std::mutex waitMutex_;  // guards nothing: the wait between two attempts, ended early by stop()
  std::condition_variable_any retry_;
  mqtt::MosquittoHandle mosquitto_;
  std::jthread thread_;  // destroyed first: nothing drives libmosquitto after it
};

}  // namespace corvane::run
