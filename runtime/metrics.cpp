#include "metrics.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <httplib.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string_view>
#include <thread>
#include <utility>

namespace corvane::run {

namespace {

constexpr const char* kContentType = "text/plain; version=0.0.4; charset=utf-8";

// Backslash, double quote and line feed are the characters a label value escapes.
void appendLabel(std::string& text, std::string_view name, std::string_view value) {
  if (!text.empty()) text += ',';
  text += name;
  text += "=\"";
  for (char c : value) {
    switch (c) {
      case '\\': text += "\\\\"; break;
      case '"': text += "\\\""; break;
      case '\n': text += "\\n"; break;
      default: text += c;
    }
  }
  text += '"';
}

std::string errorLabels(const ErrorKey& error) {
  std::string text;
  appendLabel(text, "category", error.category);
  appendLabel(text, "code", std::to_string(error.value));
  appendLabel(text, "message", error.message);
  return text;
}

// Unix seconds with the time stamp's full 100 ns resolution, without the rounding of a double.
std::string seconds(TimeStamp time) {
  auto ticks = time.time_since_epoch().count();
  std::string text = ticks < 0 ? "-" : "";
  auto magnitude = ticks < 0 ? -static_cast<std::uint64_t>(ticks) : static_cast<std::uint64_t>(ticks);
  constexpr std::uint64_t kPerSecond = Ticks::period::den;
  text += std::to_string(magnitude / kPerSecond);
  if (auto fraction = magnitude % kPerSecond) {
    std::string digits = std::to_string(fraction);
    digits.insert(0, 7 - digits.size(), '0');
    digits.erase(digits.find_last_not_of('0') + 1);
    text += '.' + digits;
  }
  return text;
}

// One metric family: its HELP and TYPE lines, then its samples, which the format wants together.
class Family {
 public:
  Family(std::string_view name, std::string_view type, std::string_view help) : name_(name) {
    text_ = "# HELP " + name_ + " " + std::string(help) + "\n# TYPE " + name_ + " " + std::string(type) + "\n";
  }

  void add(std::string_view labels, std::string_view value, std::string_view extraLabels = {}) {
    text_ += name_;
    if (!labels.empty() || !extraLabels.empty()) {
      text_ += '{';
      text_ += labels;
      if (!labels.empty() && !extraLabels.empty()) text_ += ',';
      text_ += extraLabels;
      text_ += '}';
    }
    text_ += ' ';
    text_ += value;
    text_ += '\n';
  }
  void add(std::string_view labels, std::uint64_t value, std::string_view extraLabels = {}) {
    add(labels, std::string_view(std::to_string(value)), extraLabels);
  }
  void add(std::string_view labels, bool value) { add(labels, std::string_view(value ? "1" : "0")); }
  // No sample for a moment that has not happened yet.
  void addTime(std::string_view labels, TimeStamp time) {
    if (time != kNever) add(labels, std::string_view(seconds(time)));
  }

  const std::string& text() const noexcept { return text_; }

 private:
  std::string name_;
  std::string text_;
};

std::string brokerText(const mqtt::Client& client) {
  const auto& host = client.brokerHost();
  auto port = std::to_string(client.brokerPort());
  return host.find(':') == std::string::npos ? host + ":" + port : "[" + host + "]:" + port;
}

// "HOST:PORT" or "[IPv6]:PORT", split; std::runtime_error when it is neither.
std::pair<std::string, int> splitAddress(const std::string& address) {
  auto colon = address.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == address.size()) {
    throw std::runtime_error("expected HOST:PORT (e.g. 127.0.0.1:9464)");
  }
  std::string host = address.substr(0, colon);
  std::string_view portText = std::string_view(address).substr(colon + 1);
  if (host.front() == '[' && host.back() == ']' && host.size() > 2) {
    host = host.substr(1, host.size() - 2);
  } else if (host.find_first_of(":[]") != std::string::npos) {
    throw std::runtime_error("an IPv6 address goes in brackets: [ADDRESS]:PORT");
  }
  int port = -1;
  auto [end, error] = std::from_chars(portText.data(), portText.data() + portText.size(), port);
  if (error != std::errc() || end != portText.data() + portText.size() || port < 0 || port > 65535) {
    throw std::runtime_error("port \"" + std::string(portText) + "\" is not a number from 0 to 65535");
  }
  return {host, port};
}

struct AddrInfoFree {
  void operator()(addrinfo* p) const noexcept { freeaddrinfo(p); }
};
using AddrInfoHandle = std::unique_ptr<addrinfo, AddrInfoFree>;

AddrInfoHandle resolve(const std::string& host, int port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  if (int rc = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found); rc != 0) {
    throw std::runtime_error("cannot resolve \"" + host + "\": " + gai_strerror(rc));
  }
  return AddrInfoHandle(found);
}

// Port reuse would let a second runner share the port silently; only a quick restart's lingering
// connections may be ignored.
void listenerOptions(int socket) {
  int on = 1;
  ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
}

// Why the HTTP server could not listen: the same bind again, with its errno kept.
std::string bindFailure(const std::string& host, int port) {
  auto addresses = resolve(host, port);
  int error = 0;
  for (auto* a = addresses.get(); a != nullptr; a = a->ai_next) {
    int s = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (s < 0) {
      error = errno;
      continue;
    }
    listenerOptions(s);
    bool bound = ::bind(s, a->ai_addr, a->ai_addrlen) == 0 && ::listen(s, 1) == 0;
    if (!bound) error = errno;
    ::close(s);
    if (bound) return "cannot listen";
  }
  return std::strerror(error);
}

}  // namespace

MetricsLabels::MetricsLabels(const WatchedModel& model) {
  const auto& elements = model.elements();
  labels_.resize(elements.size());
  clientInfo_.resize(elements.size());
  for (std::size_t i = 0; i < elements.size(); ++i) {
    const auto& e = elements[i];
    auto& labels = labels_[i];
    switch (e.kind) {
      case WatchedElement::Kind::kClient:
        appendLabel(labels, "client", e.path);
        if (auto client = e.client.lock()) {
          appendLabel(clientInfo_[i], "broker", brokerText(*client));
          appendLabel(clientInfo_[i], "client_id", client->clientId());
          appendLabel(clientInfo_[i], "mqtt_version", mqtt::mqttVersionName(client->mqttVersion()));
        }
        break;
      case WatchedElement::Kind::kTopic:
      case WatchedElement::Kind::kCommand: {
        appendLabel(labels, "client", e.parent < elements.size() ? elements[e.parent].path : std::string());
        appendLabel(labels, "element", e.path);
        if (auto topic = e.topic.lock()) appendLabel(labels, "topic", topic->topicName());
        if (auto command = e.command.lock()) appendLabel(labels, "topic", command->topicName());
        break;
      }
      case WatchedElement::Kind::kOther: break;
    }
  }
}

std::string metricsText(const WatchedModel& model, const MetricsLabels& labels, const LedgerSnapshot& ledger,
                        TimeStamp) {
  Family clientInfo("corvane_mqtt_client_info", "gauge", "The client's broker, client ID and MQTT version (always 1).");
  Family connected("corvane_mqtt_client_connected", "gauge", "1 while the client is connected to its broker, else 0.");
  Family connects("corvane_mqtt_client_connects_total", "counter", "Connections the broker accepted.");
  Family disconnects("corvane_mqtt_client_disconnects_total", "counter", "Connections that ended.");
  Family clientError("corvane_mqtt_client_error_info", "gauge",
                     "The client's current error (1); no sample while it has none.");
  Family connectionTime("corvane_mqtt_client_connection_timestamp_seconds", "gauge",
                        "When the client last connected or lost its connection, in Unix seconds.");
  Family birthTime("corvane_mqtt_client_birth_timestamp_seconds", "gauge",
                   "When the client last published its birth message, in Unix seconds.");
  Family runs("corvane_mqtt_topic_runs_total", "counter",
              "Publish runs of the topic: not_connected + confirmed + failed + refused + unconfirmed + pending.");
  Family notConnected("corvane_mqtt_topic_not_connected_total", "counter",
                      "Publish runs while the client was not connected: nothing was sent.");
  Family confirmed("corvane_mqtt_topic_confirmed_total", "counter", "Publications the broker confirmed.");
  Family failed("corvane_mqtt_topic_failed_total", "counter",
                "Publications that failed before anything was sent, by error.");
  Family refused("corvane_mqtt_topic_refused_total", "counter", "Publications the broker refused, by reason code.");
  Family unconfirmed("corvane_mqtt_topic_unconfirmed", "gauge",
                     "Publications not confirmed within the grace time (a late confirmation moves one to confirmed).");
  Family pending("corvane_mqtt_topic_pending", "gauge", "Publications sent and still within the grace time.");
  Family lastPublish("corvane_mqtt_topic_last_publish_timestamp_seconds", "gauge",
                     "When the broker last confirmed a publication, in Unix seconds.");
  Family lastUnconfirmed("corvane_mqtt_topic_last_unconfirmed_timestamp_seconds", "gauge",
                         "When the last publication that stayed unconfirmed was sent, in Unix seconds.");
  Family received("corvane_mqtt_command_received_total", "counter", "Command messages received.");
  Family receivedWithErrors("corvane_mqtt_command_received_with_errors_total", "counter",
                            "Command messages received with a non-empty error summary.");
  Family subscribed("corvane_mqtt_command_subscribed", "gauge",
                    "1 while the command's subscription is in place, else 0.");
  Family lastReceive("corvane_mqtt_command_last_receive_timestamp_seconds", "gauge",
                     "When the command last received a message, in Unix seconds.");

  const auto& elements = model.elements();
  for (std::size_t i = 0; i < elements.size(); ++i) {
    const auto& e = elements[i];
    const auto& l = labels.of(i);
    auto records = e.read();
    switch (e.kind) {
      case WatchedElement::Kind::kClient: {
        if (!labels.clientInfo(i).empty()) clientInfo.add(l, std::string_view("1"), labels.clientInfo(i));
        connects.add(l, ledger.clients[i].connects);
        disconnects.add(l, ledger.clients[i].disconnects);
        if (!records || !records->client) break;
        const auto& d = *records->client;
        connected.add(l, d.deviceState);
        if (d.error) clientError.add(l, std::string_view("1"), errorLabels(ErrorKey::of(d.error)));
        connectionTime.addTime(l, d.connectionTime);
        birthTime.addTime(l, d.birthMessageTime);
        break;
      }
      case WatchedElement::Kind::kTopic: {
        const auto& c = ledger.topics[i];
        runs.add(l, c.runs);
        notConnected.add(l, c.notConnected);
        confirmed.add(l, c.confirmed);
        for (const auto& [error, count] : c.failed) failed.add(l, count, errorLabels(error));
        for (const auto& [error, count] : c.refused) refused.add(l, count, errorLabels(error));
        unconfirmed.add(l, c.unconfirmed);
        pending.add(l, c.pending);
        lastPublish.addTime(l, c.lastPublish);
        lastUnconfirmed.addTime(l, c.lastUnconfirmed);
        break;
      }
      case WatchedElement::Kind::kCommand: {
        received.add(l, ledger.commands[i].received);
        receivedWithErrors.add(l, ledger.commands[i].withErrors);
        if (!records || !records->subscription || !records->receive) break;
        subscribed.add(l, records->subscription->subscribed);
        lastReceive.addTime(l, records->receive->time);
        break;
      }
      case WatchedElement::Kind::kOther: break;
    }
  }

  std::string text;
  for (const Family* family : {&clientInfo, &connected, &connects, &disconnects, &clientError, &connectionTime,
                               &birthTime, &runs, &notConnected, &confirmed, &failed, &refused, &unconfirmed,
                               &pending, &lastPublish, &lastUnconfirmed, &received, &receivedWithErrors,
                               &subscribed, &lastReceive}) {
    text += family->text();
  }
  return text;
}

std::string metricsText(const WatchedModel& model, const LedgerSnapshot& ledger, TimeStamp now) {
  return metricsText(model, MetricsLabels(model), ledger, now);
}

namespace {

// The endpoint's accepted connections, found among the process's descriptors: connected sockets
// whose local port is the endpoint's. Each is looked at, and handed to `visit`, through a duplicate
// of our own, so a descriptor closed and reused meanwhile is never mistaken for one of them.
void forEachConnection(int port, const std::function<void(int socket, ino_t inode)>& visit) {
  DIR* directory = ::opendir("/proc/self/fd");
  if (directory == nullptr) return;
  while (const dirent* entry = ::readdir(directory)) {
    if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
    int copy = ::fcntl(std::atoi(entry->d_name), F_DUPFD_CLOEXEC, 0);
    if (copy < 0) continue;
    struct stat status {};
    sockaddr_storage local{}, peer{};
    socklen_t localLength = sizeof local, peerLength = sizeof peer;
    if (::fstat(copy, &status) == 0 && S_ISSOCK(status.st_mode) &&
        ::getsockname(copy, reinterpret_cast<sockaddr*>(&local), &localLength) == 0 &&
        ::getpeername(copy, reinterpret_cast<sockaddr*>(&peer), &peerLength) == 0) {
      int localPort = local.ss_family == AF_INET    ? ntohs(reinterpret_cast<const sockaddr_in&>(local).sin_port)
                      : local.ss_family == AF_INET6 ? ntohs(reinterpret_cast<const sockaddr_in6&>(local).sin6_port)
                                                    : -1;
      if (localPort == port) visit(copy, status.st_ino);
    }
    ::close(copy);
  }
  ::closedir(directory);
}

}  // namespace

struct MetricsServer::Impl {
  // A scrape takes milliseconds; a connection still open after this is cut, so that slow or stuck
  // clients can neither hold the few request threads nor the end of the run.
  static constexpr auto kConnectionDeadline = std::chrono::seconds(3);
  static constexpr auto kSweepInterval = std::chrono::milliseconds(250);

  Impl(const WatchedModel& m, const Ledger& l) : model(m), labels(m), ledger(l) {}

  // The reaper's thread: cuts connections past their deadline until stopping, then every one.
  void reap() {
    std::map<ino_t, std::chrono::steady_clock::time_point> firstSeen;
    std::unique_lock lock(reaperMutex);
    for (;;) {
      bool last = reaperStopping;
      lock.unlock();
      auto nowSteady = std::chrono::steady_clock::now();
      std::map<ino_t, std::chrono::steady_clock::time_point> seen;
      forEachConnection(port, [&](int socket, ino_t inode) {
        auto found = firstSeen.find(inode);
        auto since = found != firstSeen.end() ? found->second : nowSteady;
        seen.emplace(inode, since);
        if (last || nowSteady - since >= kConnectionDeadline) ::shutdown(socket, SHUT_RDWR);
      });
      firstSeen = std::move(seen);
      lock.lock();
      if (last && ended) return;
      reaperWake.wait_for(lock, last ? std::chrono::milliseconds(10) : kSweepInterval);
    }
  }

  const WatchedModel& model;
  const MetricsLabels labels;
  const Ledger& ledger;
  httplib::Server http;
  int port = 0;
  std::atomic<bool> ended{false};  // the accept loop has returned
  std::thread thread;              // the accept loop; requests run on the server's small pool
  std::mutex reaperMutex;          // guards reaperStopping
  std::condition_variable reaperWake;
  bool reaperStopping = false;
  std::thread reaper;  // reap()
};

MetricsServer::MetricsServer(const WatchedModel& model, const Ledger& ledger, const std::string& address)
    : impl_(std::make_unique<Impl>(model, ledger)) {
  auto [host, port] = splitAddress(address);
  resolve(host, port);  // a name that does not resolve is told as such, not as a failed bind

  auto& http = impl_->http;
  http.set_socket_options(listenerOptions);
  // A request per connection, and little patience with slow ones: no idle connection to wait for,
  // and the reaper cuts whatever takes longer than a scrape should.
  http.set_keep_alive_max_count(1);
  http.set_keep_alive_timeout(1);
  http.set_read_timeout(1);
  http.new_task_queue = [] { return new httplib::ThreadPool(4); };
  http.Get("/metrics", [impl = impl_.get()](const httplib::Request&, httplib::Response& response) {
    response.set_content(metricsText(impl->model, impl->labels, impl->ledger.snapshot(), now()), kContentType);
  });
  http.set_exception_handler([](const httplib::Request&, httplib::Response& response, std::exception_ptr) {
    response.status = 500;
    response.set_content("the metrics could not be gathered\n", "text/plain; charset=utf-8");
  });

  if (port == 0) {
    impl_->port = http.bind_to_any_port(host);
  } else {
    impl_->port = http.bind_to_port(host, port) ? port : -1;
  }
  if (impl_->port < 0) {
    std::string shown = host.find(':') == std::string::npos ? host : "[" + host + "]";
    throw std::runtime_error("cannot listen on " + shown + ":" + std::to_string(port) + ": " + bindFailure(host, port));
  }

  impl_->reaper = std::thread([impl = impl_.get()] { impl->reap(); });
  impl_->thread = std::thread([impl = impl_.get()] {
    impl->http.listen_after_bind();
    impl->ended = true;
  });
  // stop() only takes effect once the accept loop runs.
  while (!http.is_running() && !impl_->ended) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

MetricsServer::~MetricsServer() {
  if (!impl_->thread.joinable()) return;
  impl_->http.stop();
  {
    // Connections still open are cut, so the request threads the accept loop waits for end.
    std::lock_guard lock(impl_->reaperMutex);
    impl_->reaperStopping = true;
  }
  impl_->reaperWake.notify_all();
  impl_->thread.join();
  impl_->reaper.join();
}

int MetricsServer::port() const noexcept { return impl_->port; }

}  // namespace corvane::run
