#include "lint.hpp"

#include <arpa/inet.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdio>

#include <corvane/utils/network.hpp>

namespace corvane::run {

namespace {

namespace mqtt = plugins::mqttClient;

// What reaches a loopback broker never leaves the machine: 127.0.0.0/8, ::1 (also as an
// IPv4-mapped address) and the name localhost.
bool isLoopback(std::string_view host) {
  std::string name(host);
  if (!name.empty() && name.back() == '.') name.pop_back();
  std::ranges::transform(name, name.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (name == "localhost") return true;
  in_addr v4{};
  if (::inet_pton(AF_INET, name.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  in6_addr v6{};
  if (::inet_pton(AF_INET6, name.c_str(), &v6) != 1) return false;
  if (IN6_IS_ADDR_LOOPBACK(&v6)) return true;
  return IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127;
}

// "group", "others" or "group and others" when they may read `file`; empty otherwise, also when
// it cannot be looked at (prepare has read it, so it was there).
std::string readersBeyondOwner(const std::string& file, unsigned& mode) {
  struct stat status {};
  if (::stat(file.c_str(), &status) != 0) return {};
  mode = status.st_mode & 07777;
  const bool group = (mode & S_IRGRP) != 0, others = (mode & S_IROTH) != 0;
  return group && others ? "group and others" : group ? "group" : others ? "others" : "";
}

std::string modeText(unsigned mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", mode);
  return text;
}

// A file that group or others may read, said with its mode and the fix; `holds` says what makes
// that matter when `what` does not.
void lintReadable(const std::string& file, std::string_view what, std::string_view holds, const Place& place,
                  const std::string& path, LintWarnings& warnings) {
  unsigned mode = 0;
  const auto readers = readersBeyondOwner(file, mode);
  if (readers.empty()) return;
  warnings.push_back({std::string(what) + " " + inQuotes(file) + std::string(holds) + " may be read by " + readers +
                          " (mode " + modeText(mode) + "): run \"chmod 600 " + file + "\"",
                      path, place.location()});
}

}  // namespace

void lintSecurity(const mqtt::Client& client, const std::string& path, const LintSource& source,
                  LintWarnings& warnings) {
  const Place config = source.config(path);
  const auto& tls = client.tlsConfig();
  const bool remote = !isLoopback(client.brokerHost());
  const std::string broker = utils::network::Address::join(client.brokerHost(), client.brokerPort());

  const bool user = client.username().has_value(), password = client.password().has_value();
  if (remote && !tls && (user || password)) {
    const char* sent = user && password ? "the user name and password cross"
                       : user               ? "the user name crosses"
                                            : "the password crosses";
    warnings.push_back({std::string("credentials go to ") + broker + " without TLS: " + sent +
                            " the network in clear text, for anyone on the path to read",
                        path, config.key(password ? std::initializer_list<std::string_view>{"password"}
                                                  : std::initializer_list<std::string_view>{"username", "userName"})
                                  .location()});
  }
  if (remote && tls && tls->skipVerification) {
    warnings.push_back({"TLS to " + broker +
                            " does not verify the broker's certificate: anyone on the path can read and change the "
                            "traffic, credentials included",
                        path, config.key({"verifyCertificate"}).location()});
  }
  if (tls && !tls->clientCertificate.empty()) {
    // The new-style block's key, or the old-style one.
    const Place newStyle = config.key({"TLS"}).key({"clientCertificate"});
    const Place block = newStyle.found() ? newStyle : config.key({"clientCertificate"});
    lintReadable(tls->clientCertificate.privateKeyPath().string(), "client private key file", "",
                 block.key({"privateKeyFile"}), path, warnings);
  }
}

void lintModelFile(const runtime::Model& model, const LintSource& source, LintWarnings& warnings) {
  // Said once, at the first password of the file.
  for (const auto& entry : model.elements()) {
    auto client = std::dynamic_pointer_cast<mqtt::Client>(entry.element);
    if (!client || !client->password()) continue;
    lintReadable(model.fileName(), "model file", " holds a password and", source.config(entry.path).key({"password"}),
                 entry.path, warnings);
    return;
  }
}

}  // namespace corvane::run
