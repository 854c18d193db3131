#include "metrics.hpp"

#include <stdexcept>

namespace corvane::run {

std::string metricsText(const WatchedModel&, const LedgerSnapshot&, TimeStamp) { return {}; }

struct MetricsServer::Impl {};

MetricsServer::MetricsServer(const WatchedModel&, const Ledger&, const std::string&) : impl_(std::make_unique<Impl>()) {
  throw std::runtime_error("metrics are not served yet");
}
MetricsServer::~MetricsServer() = default;
int MetricsServer::port() const noexcept { return 0; }

}  // namespace corvane::run
