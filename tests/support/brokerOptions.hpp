#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace corvane::testing {

// A PEM certificate (or chain) and the PEM private key that goes with it.
struct CertificateFiles {
  std::filesystem::path certificate{};
  std::filesystem::path key{};
};

struct TlsListenerOptions {
  std::filesystem::path caFile{};  // CA that client certificates must chain to
  CertificateFiles server{};       // what the broker presents
  bool requireCertificate = false;
  std::vector<std::string> extraConfig{};  // raw lines for this listener (e.g. "use_identity_as_username true")
};

struct PasswordEntry {
  std::string user{};
  std::string password{};
};

enum class AclAccess { read, write, readwrite, deny };

// One line of the broker's acl_file.
struct AclRule {
  std::string user{};  // empty: a rule for anonymous clients
  AclAccess access = AclAccess::readwrite;
  std::string topic{};  // a topic filter
};

struct BrokerOptions {
  bool plainListener = true;                        // on Broker::port()
  std::optional<TlsListenerOptions> tlsListener{};  // on Broker::tlsPort()
  bool allowAnonymous = true;
  // With entries, the broker checks user names and passwords against them (mosquitto_passwd file).
  std::vector<PasswordEntry> passwords{};
  // Present: only what these rules grant is allowed (an empty list denies everything). Rules for
  // anonymous clients go to the top of the file, where mosquitto expects them.
  std::optional<std::vector<AclRule>> acl{};
  std::optional<int> maxQueuedMessages{};
  // Raw global lines, written before the listeners (e.g. "max_packet_size 1000").
  std::vector<std::string> extraConfig{};
  // log_type all (every packet) instead of mosquitto's default types.
  bool verboseLog = true;
  // The destructor prints the broker's log when the running test has failed.
  bool printLogOnFailure = true;
};

}  // namespace corvane::testing
