#pragma once
// `run --metrics HOST:PORT`: the model's state and the delivery ledger in the Prometheus text
// exposition format (version 0.0.4) on /metrics.
//
// Families (labels: client="b" for clients; client, element="b/level" and topic="t/level" for
// topics and commands):
//   corvane_mqtt_client_info{broker,client_id,mqtt_version}      gauge, always 1
//   corvane_mqtt_client_connected                                 gauge, 1 or 0
//   corvane_mqtt_client_connects_total, _disconnects_total        counters
//   corvane_mqtt_client_error_info{category,code,message}         gauge 1, only while an error is set
//   corvane_mqtt_client_connection_timestamp_seconds              last connect or connection loss
//   corvane_mqtt_client_birth_timestamp_seconds                   last birth message
//   corvane_mqtt_topic_runs_total                                 counter: publish runs
//   corvane_mqtt_topic_not_connected_total, _confirmed_total      counters
//   corvane_mqtt_topic_failed_total{category,code,message}        counter: failed locally
//   corvane_mqtt_topic_refused_total{category,code,message}       counter: refused by the broker
//   corvane_mqtt_topic_unconfirmed, corvane_mqtt_topic_pending    gauges (a late confirmation moves a
//                                                                 run out of unconfirmed)
//   corvane_mqtt_topic_last_publish_timestamp_seconds, _last_unconfirmed_timestamp_seconds
//   corvane_mqtt_command_received_total, _received_with_errors_total   counters
//   corvane_mqtt_command_subscribed                               gauge, 1 or 0
//   corvane_mqtt_command_last_receive_timestamp_seconds
// runs_total = not_connected + confirmed + Σ failed + Σ refused + unconfirmed + pending.
// Times are Unix seconds; a time that has not happened yet has no sample. Samples read from an
// element's records (connected, error, times other than the ledger's, subscribed) disappear once
// the element is gone; the ledger's counts stay, with the same labels.
#include <memory>
#include <string>
#include <vector>

#include <corvane/time.hpp>

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
  // corvane_mqtt_client_info's labels beyond client; empty for other elements.
  const std::string& clientInfo(std::size_t element) const { return clientInfo_[element]; }

 private:
  std::vector<std::string> labels_;
  std::vector<std::string> clientInfo_;
};

// The exposition text of everything the model shows now.
std::string metricsText(const WatchedModel& model, const MetricsLabels& labels, const LedgerSnapshot& ledger,
                        TimeStamp now);
// The same with labels taken now (an element that is gone has only its path for a label).
std::string metricsText(const WatchedModel& model, const LedgerSnapshot& ledger, TimeStamp now);

class MetricsServer {
 public:
  // Listens on `address` ("HOST:PORT", "[IPv6]:PORT"; port 0 picks a free one) and serves from a
  // thread of its own; std::runtime_error with a message when the address is bad or taken.
  MetricsServer(const WatchedModel& model, const Ledger& ledger, const std::string& address);
  ~MetricsServer();  // stops serving
  MetricsServer(const MetricsServer&) = delete;
  MetricsServer& operator=(const MetricsServer&) = delete;

  int port() const noexcept;  // the port actually listened on

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace corvane::run
