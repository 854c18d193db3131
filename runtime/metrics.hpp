#pragma once
// `run --metrics HOST:PORT`: the model's state and the delivery ledger in the Prometheus text
// exposition format (version 0.0.4) on /metrics. Each family's HELP text is in metrics.cpp.
// For every topic runs_total = not_connected + confirmed + Σ failed + Σ refused + unconfirmed +
// pending. Times are Unix seconds; a time that has not happened yet has no sample. Samples read
// from an element's records (connected, error, times other than the ledger's, subscribed) disappear
// once the element is gone; the ledger's counts stay, with the same labels.
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "ledger.hpp"
#include "watchedModel.hpp"

namespace corvane::run {

// The label text of each element's samples (client="b",element="b/level",topic="t/level"), indexed
// like WatchedModel::elements(). Settings do not change while a model runs, so the labels are
// taken once while the elements exist and stay the same after the model has destroyed them.
class MetricsLabels {
 public:
  explicit MetricsLabels(const WatchedModel& model);

  const std::string& of(std::size_t element) const { return labels_[element]; }
  // corvane_mqtt_client_info's labels (client, broker, client_id, mqtt_version); empty for other
  // elements.
  const std::string& clientInfo(std::size_t element) const { return clientInfo_[element]; }

 private:
  std::vector<std::string> labels_;
  std::vector<std::string> clientInfo_;
};

// The exposition text of everything the model shows now.
std::string metricsText(const WatchedModel& model, const MetricsLabels& labels, const LedgerSnapshot& ledger);

class MetricsServer {
 public:
  // A scrape takes milliseconds; a connection still open after this is closed, however it
  // trickles, so slow or stuck clients hold neither the scrapes nor the end of the run.
  static constexpr std::chrono::milliseconds kConnectionDeadline{3000};

  // Listens on `address` ("HOST:PORT", "[IPv6]:PORT"; port 0 picks a free one) and serves from a
  // thread of its own; std::exception with a message when the address is bad or taken.
  MetricsServer(const WatchedModel& model, const Ledger& ledger, const std::string& address,
                std::chrono::milliseconds connectionDeadline = kConnectionDeadline);
  ~MetricsServer();  // stops serving at once, closing the connections still open
  MetricsServer(const MetricsServer&) = delete;
  MetricsServer& operator=(const MetricsServer&) = delete;

  int port() const noexcept;  // the port actually listened on

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace corvane::run
