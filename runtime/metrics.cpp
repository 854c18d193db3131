#include "metrics.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string_view>
#include <thread>
#include <utility>

#include <corvane/utils/network.hpp>

namespace corvane::run {

namespace {

using utils::network::Address;

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

std::string withErrorLabels(std::string labels, const ErrorKey& error) {
  appendLabel(labels, "category", error.category);
  appendLabel(labels, "code", std::to_string(error.value));
  appendLabel(labels, "message", error.message);
  return labels;
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

// The families in the order of the exposition.
enum Family : std::size_t {
  kClientInfo, kConnected, kConnects, kDisconnects, kClientError, kConnectionTime, kBirthTime, kRuns, kNotConnected,
  kConfirmed, kFailed, kRefused, kUnconfirmed, kPending, kLastPublish, kLastUnconfirmed, kReceived,
  kReceivedWithErrors, kSubscribed, kLastReceive, kFamilies
};

struct FamilyText {
  const char* name;
  const char* type;
  const char* help;
};

constexpr std::array<FamilyText, kFamilies> kFamilyTexts{{
    {"corvane_mqtt_client_info", "gauge", "The client's broker, client ID and MQTT version (always 1)."},
    {"corvane_mqtt_client_connected", "gauge", "1 while the client is connected to its broker, else 0."},
    {"corvane_mqtt_client_connects_total", "counter", "Connections the broker accepted."},
    {"corvane_mqtt_client_disconnects_total", "counter", "Connections that ended."},
    {"corvane_mqtt_client_error_info", "gauge", "The client's current error (1); no sample while it has none."},
    {"corvane_mqtt_client_connection_timestamp_seconds", "gauge",
     "When the client last connected or lost its connection, in Unix seconds."},
    {"corvane_mqtt_client_birth_timestamp_seconds", "gauge",
     "When the client last published its birth message, in Unix seconds."},
    {"corvane_mqtt_topic_runs_total", "counter",
     "Publish runs of the topic: not_connected + confirmed + failed + refused + unconfirmed + pending."},
    {"corvane_mqtt_topic_not_connected_total", "counter",
     "Publish runs while the client was not connected: nothing was sent."},
    {"corvane_mqtt_topic_confirmed_total", "counter", "Publications the broker confirmed."},
    {"corvane_mqtt_topic_failed_total", "counter", "Publications that failed before anything was sent, by error."},
    {"corvane_mqtt_topic_refused_total", "counter", "Publications the broker refused, by reason code."},
    {"corvane_mqtt_topic_unconfirmed", "gauge",
     "Publications not confirmed within the grace time (a late confirmation moves one to confirmed)."},
    {"corvane_mqtt_topic_pending", "gauge", "Publications sent and still within the grace time."},
    {"corvane_mqtt_topic_last_publish_timestamp_seconds", "gauge",
     "When the broker last confirmed a publication, in Unix seconds."},
    {"corvane_mqtt_topic_last_unconfirmed_timestamp_seconds", "gauge",
     "When the last publication that stayed unconfirmed was sent, in Unix seconds."},
    {"corvane_mqtt_command_received_total", "counter", "Command messages received."},
    {"corvane_mqtt_command_received_with_errors_total", "counter",
     "Command messages received with a non-empty error summary."},
    {"corvane_mqtt_command_subscribed", "gauge", "1 while the command's subscription is in place, else 0."},
    {"corvane_mqtt_command_last_receive_timestamp_seconds", "gauge",
     "When the command last received a message, in Unix seconds."},
}};

// The samples of every family, kept apart until the end: the format wants a family's samples
// together, after its HELP and TYPE lines.
class Exposition {
 public:
  void add(Family family, std::string_view labels, std::string_view value) {
    auto& text = samples_[family];
    text += kFamilyTexts[family].name;
    text += '{';
    text += labels;
    text += "} ";
    text += value;
    text += '\n';
  }
  // Counts, and 1 or 0 for a flag.
  void add(Family family, std::string_view labels, std::uint64_t value) { add(family, labels, std::to_string(value)); }
  // No sample for a moment that has not happened yet.
  void addTime(Family family, std::string_view labels, TimeStamp time) {
    if (time != kNever) add(family, labels, seconds(time));
  }

  std::string text() const {
    std::string text;
    for (std::size_t f = 0; f < kFamilies; ++f) {
      const auto& [name, type, help] = kFamilyTexts[f];
      text += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n" + samples_[f];
    }
    return text;
  }

 private:
  std::array<std::string, kFamilies> samples_;
};

}  // namespace

MetricsLabels::MetricsLabels(const WatchedModel& model) {
  const auto& elements = model.elements();
  labels_.resize(elements.size());
  clientInfo_.resize(elements.size());
  for (std::size_t i = 0; i < elements.size(); ++i) {
    const auto& e = elements[i];
    auto& labels = labels_[i];
    if (e.kind == WatchedElement::Kind::kClient) {
      appendLabel(labels, "client", e.path);
      if (auto client = e.client.lock()) {
        auto& info = clientInfo_[i] = labels;
        appendLabel(info, "broker", Address::join(client->brokerHost(), client->brokerPort()));
        appendLabel(info, "client_id", client->clientId());
        appendLabel(info, "mqtt_version", mqtt::mqttVersionName(client->mqttVersion()));
      }
    } else if (e.kind != WatchedElement::Kind::kOther) {
      appendLabel(labels, "client", e.parent < elements.size() ? elements[e.parent].path : std::string());
      appendLabel(labels, "element", e.path);
      if (auto topic = e.topic.lock()) appendLabel(labels, "topic", topic->topicName());
      if (auto command = e.command.lock()) appendLabel(labels, "topic", command->topicName());
    }
  }
}

std::string metricsText(const WatchedModel& model, const MetricsLabels& labels, const LedgerSnapshot& ledger) {
  Exposition out;
  const auto& elements = model.elements();
  for (std::size_t i = 0; i < elements.size(); ++i) {
    const auto& e = elements[i];
    const auto& l = labels.of(i);
    auto records = e.read();
    switch (e.kind) {
      case WatchedElement::Kind::kClient: {
        if (!labels.clientInfo(i).empty()) out.add(kClientInfo, labels.clientInfo(i), "1");
        out.add(kConnects, l, ledger.clients[i].connects);
        out.add(kDisconnects, l, ledger.clients[i].disconnects);
        if (!records || !records->client) break;
        const auto& d = *records->client;
        out.add(kConnected, l, d.deviceState);
        if (d.error) out.add(kClientError, withErrorLabels(l, ErrorKey::of(d.error)), "1");
        out.addTime(kConnectionTime, l, d.connectionTime);
        out.addTime(kBirthTime, l, d.birthMessageTime);
        break;
      }
      case WatchedElement::Kind::kTopic: {
        const auto& c = ledger.topics[i];
        out.add(kRuns, l, c.runs);
        out.add(kNotConnected, l, c.notConnected);
        out.add(kConfirmed, l, c.confirmed);
        for (const auto& [error, count] : c.failed) out.add(kFailed, withErrorLabels(l, error), count);
        for (const auto& [error, count] : c.refused) out.add(kRefused, withErrorLabels(l, error), count);
        out.add(kUnconfirmed, l, c.unconfirmed);
        out.add(kPending, l, c.pending);
        out.addTime(kLastPublish, l, c.lastPublish);
        out.addTime(kLastUnconfirmed, l, c.lastUnconfirmed);
        break;
      }
      case WatchedElement::Kind::kCommand: {
        out.add(kReceived, l, ledger.commands[i].received);
        out.add(kReceivedWithErrors, l, ledger.commands[i].withErrors);
        if (!records || !records->subscription || !records->receive) break;
        out.add(kSubscribed, l, records->subscription->subscribed);
        out.addTime(kLastReceive, l, records->receive->time);
        break;
      }
      case WatchedElement::Kind::kOther: break;
    }
  }
  return out.text();
}

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

// Connections served at once; more wait in the listen backlog until one ends, so that a flood of
// clients cannot take the descriptors the MQTT clients need.
constexpr int kMaxConnections = 64;

// "HOST:PORT" or "[IPv6]:PORT". Address takes ports from 1; port 0, any free port, is ours.
std::pair<std::string, std::uint16_t> splitAddress(const std::string& address) {
  auto colon = address.rfind(':');
  bool anyPort = colon != std::string::npos && address.compare(colon + 1, std::string::npos, "0") == 0;
  auto parts = Address::split(anyPort ? address.substr(0, colon) : address);
  if (parts.host.find(':') != std::string::npos && !address.starts_with('[')) {
    throw std::runtime_error("an IPv6 address goes in brackets: [ADDRESS]:PORT");
  }
  if (!parts.port && !anyPort) throw std::runtime_error("expected HOST:PORT (e.g. 127.0.0.1:9464)");
  return {parts.host, parts.port.value_or(0)};
}

}  // namespace

// Everything here but the constructor and destructor runs on the metrics thread, which accepts
// and serves every connection; a slow client costs it nothing but a pending read.
struct MetricsServer::Impl {
  // One connection: one request, answered, then closed, all within the connection's deadline.
  struct Session : std::enable_shared_from_this<Session> {
    Session(Impl& server, tcp::socket socket) : server(server), stream(std::move(socket)) {}

    void start() {
      // Once for the whole connection, not per read: a client trickling bytes gains nothing.
      stream.expires_after(server.deadline);
      http::async_read(stream, buffer, request, [self = shared_from_this()](beast::error_code error, std::size_t) {
        if (error) return self->server.ended();  // past the deadline, gone, or not HTTP
        self->answer();
      });
    }

    void answer() {
      auto target = request.target();
      bool metrics = request.method() == http::verb::get && target.substr(0, target.find('?')) == "/metrics";
      response.version(request.version());
      response.keep_alive(false);
      response.result(metrics ? http::status::ok : http::status::not_found);
      response.set(http::field::content_type, metrics ? "text/plain; version=0.0.4; charset=utf-8"
                                                      : "text/plain; charset=utf-8");
      try {
        response.body() = metrics ? metricsText(server.model, server.labels, server.ledger.snapshot()) : "not found\n";
      } catch (const std::exception&) {
        response.result(http::status::internal_server_error);
        response.body() = "the metrics could not be gathered\n";
      }
      response.prepare_payload();
      http::async_write(stream, response, [self = shared_from_this()](beast::error_code, std::size_t) {
        beast::error_code ignored;
        self->stream.socket().shutdown(tcp::socket::shutdown_send, ignored);
        self->server.ended();
      });
    }

    Impl& server;
    beast::tcp_stream stream;
    beast::flat_buffer buffer{8192};  // the most a request may take
    http::request<http::empty_body> request;
    http::response<http::string_body> response;
  };

  Impl(const WatchedModel& m, const Ledger& l, std::chrono::milliseconds d)
      : model(m), labels(m), ledger(l), deadline(d) {}

  void accept() {
    acceptor.async_accept([this](beast::error_code error, tcp::socket socket) {
      if (error) {  // e.g. out of descriptors: try again a little later instead of spinning
        retry.expires_after(std::chrono::milliseconds(100));
        return retry.async_wait([this](beast::error_code) { accept(); });
      }
      std::make_shared<Session>(*this, std::move(socket))->start();
      if (++connections < kMaxConnections) accept();
    });
  }
  void ended() {
    if (connections-- == kMaxConnections) accept();
  }

  const WatchedModel& model;
  const MetricsLabels labels;
  const Ledger& ledger;
  const std::chrono::milliseconds deadline;
  int port = 0;
  int connections = 0;  // sessions started and not ended
  // Stopped, never drained: the sessions still pending go with the handlers that own them.
  asio::io_context io{1};
  tcp::acceptor acceptor{io};
  asio::steady_timer retry{io};
  std::thread thread;  // the metrics thread: io.run()
};

MetricsServer::MetricsServer(const WatchedModel& model, const Ledger& ledger, const std::string& address,
                             std::chrono::milliseconds connectionDeadline)
    : impl_(std::make_unique<Impl>(model, ledger, connectionDeadline)) {
  auto [host, port] = splitAddress(address);
  beast::error_code error;
  auto endpoints = tcp::resolver(impl_->io).resolve(host, std::to_string(port),
                                                    tcp::resolver::passive | tcp::resolver::numeric_service, error);
  if (error) throw std::runtime_error("cannot resolve \"" + host + "\": " + error.message());

  // The first address that can be listened on. Address reuse only lets a quick restart ignore the
  // last run's closing connections; port reuse, which would share the port with another runner
  // silently, stays off.
  auto& acceptor = impl_->acceptor;
  for (const auto& endpoint : endpoints) {
    beast::error_code ignored;
    acceptor.close(ignored);
    acceptor.open(endpoint.endpoint().protocol(), error);
    if (!error) acceptor.set_option(tcp::acceptor::reuse_address(true), error);
    if (!error) acceptor.bind(endpoint.endpoint(), error);
    if (!error) acceptor.listen(asio::socket_base::max_listen_connections, error);
    if (!error) break;
  }
  if (error) throw std::runtime_error("cannot listen on " + Address::join(host, port) + ": " + error.message());
  impl_->port = acceptor.local_endpoint().port();

  impl_->accept();
  impl_->thread = std::thread([impl = impl_.get()] { impl->io.run(); });
}

MetricsServer::~MetricsServer() {
  impl_->io.stop();
  impl_->thread.join();
}

int MetricsServer::port() const noexcept { return impl_->port; }

}  // namespace corvane::run
