#pragma once
// `corvane-run tls-probe MODEL [CLIENT]`: one TLS handshake with a client's own settings, and what
// it found out about the broker's certificates.
#include <string>

#include <CLI/CLI.hpp>

#include "modelFile.hpp"

namespace corvane::run {

// Exit status when the client would not get through TLS (or not reach the broker at all); a model
// error gives kConfigurationError.
inline constexpr int kWouldNotConnect = 1;

struct TlsProbeOptions {
  ModelFileOptions model;
  std::string client;   // the client element's path; empty: the model's only client
  std::string pemFile;  // empty: none written
  bool json = false;
  double timeout = 10;  // seconds, for the whole probe
};

void setupTlsProbe(CLI::App& app);
int runTlsProbe(const TlsProbeOptions& options);

}  // namespace corvane::run
