#include "subcommands.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <corvane/data.hpp>
#include <corvane/runtime.hpp>
#include <corvane/utils/network.hpp>

#include "client/client.hpp"
#include "jsonLine.hpp"
#include "tlsProbeHandshake.hpp"

namespace corvane::run {

namespace {

namespace mqtt = plugins::mqttClient;

// Width of the label column of the text report, and of the whole of a wrapped row.
constexpr std::size_t kLabelWidth = 14;
constexpr std::size_t kRowWidth = 100;

class ProbeFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

std::string joined(const std::vector<std::string>& parts, const char* separator = ", ") {
  std::string text;
  for (const auto& part : parts) {
    if (!text.empty()) text += separator;
    text += part;
  }
  return text;
}

// The client to probe: the one named, or the model's only one. Throws ProbeFailure or
// runtime::ModelError with the reason.
std::shared_ptr<mqtt::Client> chooseClient(const runtime::Model& model, const std::string& path) {
  std::vector<std::string> clientPaths;
  for (const auto& entry : model.elements()) {
    if (std::dynamic_pointer_cast<mqtt::Client>(entry.element)) clientPaths.push_back(entry.path);
  }
  if (path.empty() && clientPaths.size() != 1) {
    if (clientPaths.empty()) throw ProbeFailure(model.fileName() + ": the model has no MQTT client");
    throw ProbeFailure(model.fileName() + ": the model has " + std::to_string(clientPaths.size()) +
                       " MQTT clients (" + joined(clientPaths) + "): name the one to probe");
  }
  const std::string& wanted = path.empty() ? clientPaths.front() : path;
  auto chosen = std::find_if(model.elements().begin(), model.elements().end(),
                             [&](const auto& entry) { return entry.path == wanted; });
  if (chosen == model.elements().end()) {
    throw ProbeFailure(model.fileName() + ": no element \"" + path + "\" (MQTT clients: " +
                       (clientPaths.empty() ? std::string("none") : joined(clientPaths)) + ")");
  }
  auto client = std::dynamic_pointer_cast<mqtt::Client>(chosen->element);
  if (!client) {
    throw runtime::ModelError(model.fileName(), chosen->location,
                              "element \"" + chosen->path + "\" is not an MQTT client (class " + chosen->skillName +
                                  " " + chosen->className + ")");
  }
  if (!client->tlsConfig()) {
    throw runtime::ModelError(model.fileName(), chosen->location,
                              "MQTT client \"" + chosen->path + "\" does not use TLS");
  }
  // The context the client would build in its prepare stage, failing as it would.
  try {
    client->createTlsContext();
  } catch (const std::exception& e) {
    throw runtime::ModelError(model.fileName(), chosen->location, "element \"" + chosen->path + "\": " + e.what());
  }
  return client;
}

std::vector<std::string> trustAnchors(const mqtt::Client::TlsConfig& tls) {
  std::vector<std::string> files;
  if (tls.serverCertificate) {
    files.push_back(tls.serverCertificate->string());
  } else {
    if (tls.caCertificateFile) files.push_back(*tls.caCertificateFile);
    if (tls.caCertificateDirectory) files.push_back(*tls.caCertificateDirectory);
  }
  return files;
}

std::string trustText(const mqtt::Client::TlsConfig& tls) {
  if (tls.skipVerification) return "none: the client does not verify the broker's certificate";
  if (tls.serverCertificate) return "pinned certificate file " + tls.serverCertificate->string();
  std::vector<std::string> parts;
  if (tls.caCertificateFile) parts.push_back("CA file " + *tls.caCertificateFile);
  if (tls.caCertificateDirectory) parts.push_back("CA directory " + *tls.caCertificateDirectory);
  if (parts.empty()) return "the system's default store";
  return joined(parts);
}

std::string daysText(std::int64_t days) {
  if (days < 0) return "expired " + std::to_string(-days) + (days == -1 ? " day ago" : " days ago");
  return std::to_string(days) + (days == 1 ? " day left" : " days left");
}

struct Probe {
  std::string clientPath;
  std::string brokerAddress;
  mqtt::Client::TlsConfig tls;
  HandshakeFacts facts;
  std::optional<std::string> pemFile;  // written
  std::size_t pemCount = 0;            // certificates in it
};

// Why the PEM file would not do as the client's pinned certificate.
struct PemNotReady {
  std::optional<std::string> cause;  // when there is more to say than the error
  std::string failure;               // the error a client pinning it records
  std::string text() const { return cause ? *cause + "; " + failure : failure; }
};

std::optional<PemNotReady> pemNotReady(const HandshakeFacts& facts) {
  if (!facts.pinnableVerification || !*facts.pinnableVerification) return std::nullopt;
  PemNotReady notReady{std::nullopt, "a client pinning it fails with " + data::describeError(*facts.pinnableVerification)};
  if (!facts.pinnable.empty() && !facts.pinnable.back().selfSigned) {
    notReady.cause = "it does not end in a self-signed root: the broker did not send one, and the client's trust "
                     "anchors do not complete the chain (append the root CA's certificate to the file)";
  }
  return notReady;
}

std::string certificatesJson(const std::vector<CertificateFacts>& chain) {
  std::string text = "[";
  for (const auto& certificate : chain) {
    if (text.size() > 1) text += ',';
    text += JsonLine()
                .add("subject", certificate.subject)
                .add("issuer", certificate.issuer)
                .add("subjectAltNames", certificate.subjectAltNames)
                .add("notBefore", certificate.notBefore)
                .add("notAfter", certificate.notAfter)
                .add("daysLeft", certificate.daysLeft)
                .add("sha256", certificate.sha256)
                .text();
  }
  return text + "]";
}

template <class T>
void addOptional(JsonLine& line, std::string_view name, const std::optional<T>& value) {
  if (value) {
    line.add(name, *value);
  } else {
    line.addNull(name);
  }
}

std::string jsonReport(const Probe& probe) {
  const auto& facts = probe.facts;
  JsonLine line;
  line.add("client", probe.clientPath)
      .add("broker", probe.brokerAddress)
      .add("serverName", facts.serverName)
      .add("trust", trustMode(probe.tls))
      .add("trustAnchors", trustAnchors(probe.tls))
      .add("tcpConnected", facts.tcpConnected)
      .add("handshake", facts.handshakeDone);
  addOptional(line, "protocol", facts.handshakeDone ? std::optional(facts.protocol) : std::nullopt);
  addOptional(line, "cipher", facts.handshakeDone ? std::optional(facts.cipher) : std::nullopt);
  line.addRaw("certificates", certificatesJson(facts.chain));
  if (facts.chainVerification) {
    line.add("chainVerifies", !*facts.chainVerification).addError("chainError", *facts.chainVerification);
  } else {
    line.addNull("chainVerifies").addNull("chainError");
  }
  addOptional(line, "hostMatches", facts.hostMatches);
  addOptional(line, "pinnedMatches", facts.pinnedMatches);
  line.add("connects", !facts.error).addError("error", facts.error);
  addOptional(line, "pemFile", probe.pemFile);
  line.add("pemCertificates", static_cast<std::int64_t>(probe.pemCount));
  if (probe.pemFile) {
    const auto notReady = pemNotReady(facts);
    line.add("pemReady", !notReady);
    addOptional(line, "pemReason", notReady ? std::optional(notReady->text()) : std::nullopt);
  } else {
    line.addNull("pemReady").addNull("pemReason");
  }
  return line.text() + "\n";
}

class TextReport {
 public:
  void row(std::string_view label, std::string_view value) {
    text_ += label;
    text_.append(label.size() < kLabelWidth ? kLabelWidth - label.size() : 1, ' ');
    text_ += value;
    text_ += '\n';
  }
  // A long value on as many rows as it takes, broken between words.
  void wrapped(std::string_view label, std::string_view value) {
    constexpr std::size_t kWidth = kRowWidth - kLabelWidth;
    while (value.size() > kWidth) {
      auto end = value.rfind(' ', kWidth);
      if (end == std::string_view::npos || end == 0) end = value.find(' ', kWidth);
      if (end == std::string_view::npos) break;
      row(label, value.substr(0, end));
      label = "";
      value.remove_prefix(end + 1);
    }
    row(label, value);
  }
  void line(std::string_view text) {
    text_ += text;
    text_ += '\n';
  }
  const std::string& text() const noexcept { return text_; }

 private:
  std::string text_;
};

std::string textReport(const Probe& probe) {
  const auto& facts = probe.facts;
  TextReport report;
  report.row("Client", probe.clientPath);
  report.row("Broker", probe.brokerAddress + ", server name " + facts.serverName);
  report.row("Trust", trustText(probe.tls));
  if (!probe.tls.clientCertificate.empty()) {
    report.row("Client cert.", probe.tls.clientCertificate.certificatePath().string());
  }
  if (facts.handshakeDone) {
    report.row("Handshake", facts.protocol + ", " + facts.cipher);
  } else {
    report.row("Handshake", facts.tcpConnected ? "failed" : "not reached: no TCP connection");
  }

  for (std::size_t i = 0; i < facts.chain.size(); ++i) {
    const auto& certificate = facts.chain[i];
    report.line("");
    report.row("Certificate " + std::to_string(i), i == 0 ? "the broker's own" : "sent with it");
    report.row("  Subject", certificate.subject);
    report.row("  Issuer", certificate.issuer);
    report.row("  Alt. names", certificate.subjectAltNames.empty() ? "none" : joined(certificate.subjectAltNames));
    report.row("  Not before", certificate.notBefore);
    report.row("  Not after", certificate.notAfter + ", " + daysText(certificate.daysLeft));
    report.row("  SHA-256", certificate.sha256);
  }

  if (facts.chainVerification) {
    report.line("");
    report.row("Checks", "each again by hand and on its own: the chain with X509_verify_cert on the");
    report.row("", "client's trust store, the name with X509_check_ip_asc or X509_check_host");
    if (!*facts.chainVerification) {
      report.row("  Chain", "verifies against the configured trust anchors");
    } else {
      report.row("  Chain", "does not verify: " + data::describeError(*facts.chainVerification));
    }
    if (facts.hostMatches) {
      report.row("  Host name", facts.serverName + (*facts.hostMatches ? " matches" : " does not match") +
                                    " the broker's certificate");
    } else {
      report.row("  Host name", "not checked: the client pins the broker's certificate");
    }
    if (facts.pinnedMatches) {
      report.row("  Pinned", *facts.pinnedMatches ? "the broker's certificate is the pinned one"
                                                  : "the broker's certificate is not the pinned one");
    } else {
      report.row("  Pinned", "no certificate pinned");
    }
  }

  report.line("");
  if (probe.pemFile) {
    const auto notReady = pemNotReady(facts);
    std::string what = ": the broker's own certificate";
    if (probe.pemCount > 1) {
      what += facts.pinnable.back().selfSigned ? " and its issuers" : " and the issuers it sent";
    }
    report.row("PEM file", *probe.pemFile + what + (notReady ? ", NOT ready to be pinned:" : ", ready to be pinned"));
    if (notReady) {
      if (notReady->cause) report.wrapped("", *notReady->cause);
      report.row("", notReady->failure);
    }
  }
  report.row("Result", facts.error ? "the client would not connect: " + data::describeError(facts.error)
                                   : std::string("the client would connect"));
  return report.text();
}

void print(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

void printError(const std::string& text) {
  std::fprintf(stderr, "%s\n", text.c_str());
  std::fflush(stderr);
}

bool writeFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  out.close();
  return static_cast<bool>(out);
}

// Exit status when the client would not get through TLS (or not reach the broker at all); a model
// error gives kConfigurationError.
constexpr int kWouldNotConnect = 1;

struct TlsProbeOptions {
  ModelFileOptions model;
  std::string client;   // the client element's path; empty: the model's only client
  std::string pemFile;  // empty: none written
  bool json = false;
  double timeout = 10;  // seconds, for the whole probe
};

int runTlsProbe(const TlsProbeOptions& options) {
  runtime::Model model;
  std::shared_ptr<mqtt::Client> client;
  const bool chosen = configured([&] {
    loadModel(model, options.model, false);
    client = chooseClient(model, options.client);
  });
  if (!chosen) return kConfigurationError;

  Probe probe;
  for (const auto& entry : model.elements()) {
    if (entry.element == client) probe.clientPath = entry.path;
  }
  probe.brokerAddress = utils::network::Address::join(client->brokerHost(), client->brokerPort());
  probe.tls = *client->tlsConfig();
  // A broker that drops the connection must not end the probe with SIGPIPE on the next write.
  std::signal(SIGPIPE, SIG_IGN);
  const auto timeout = std::chrono::milliseconds(std::llround(options.timeout * 1000));
  probe.facts = probeHandshake(*client, timeout);

  int status = probe.facts.error ? kWouldNotConnect : 0;
  std::optional<std::string> pemError;
  if (!options.pemFile.empty()) {
    std::string pem;
    const auto& pinned = probe.facts.pinnable;
    for (const auto& certificate : pinned) pem += certificate.pem;
    if (pinned.empty()) {
      pemError = "no certificate received: \"" + options.pemFile + "\" not written";
    } else if (writeFile(options.pemFile, pem)) {
      probe.pemFile = options.pemFile;
      probe.pemCount = pinned.size();
    } else {
      pemError = "cannot write \"" + options.pemFile + "\": " + std::strerror(errno);
      status = kConfigurationError;
    }
  }
  print(options.json ? jsonReport(probe) : textReport(probe));
  if (pemError) printError(*pemError);
  return status;
}

}  // namespace

void setupTlsProbe(CLI::App& app) {
  auto options = std::make_shared<TlsProbeOptions>();
  auto* command = app.add_subcommand(
      "tls-probe", "Shake hands with a client's broker over TLS, as the client would, and show its certificates");
  addModelFileOptions(*command, options->model);
  command->add_option("CLIENT", options->client, "Path of the client element (default: the model's only client)");
  command->add_flag("--json", options->json, "Print one JSON object instead of text");
  command->add_option("--pem", options->pemFile,
                      "Write the broker's certificate to this file (PEM) for pinning; one issued by a CA is "
                      "followed by its issuers up to the root as verified, else as the broker sent them (the "
                      "report says whether the file is ready to be pinned)");
  command->add_option("--timeout", options->timeout, "Seconds the whole probe may take")
      ->capture_default_str()
      ->check(CLI::Range(0.1, 3600.0));
  command->footer(
      "Connects once with the client's own TLS context (trust anchors, pinned certificate, client\n"
      "certificate, host-name check); sends nothing of MQTT. Shows the broker's certificate chain and\n"
      "whether it verifies, whether the host name and a pinned certificate match, and the error the\n"
      "client would record. Exit status: 0 the client would connect; 1 it would not (TLS or TCP);\n"
      "2 a model error (no such client, not a TLS client, TLS files that cannot be loaded).");
  runsWith(*command, [options] { return runTlsProbe(*options); });
}

}  // namespace corvane::run
