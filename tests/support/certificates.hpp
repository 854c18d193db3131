#pragma once

#include <filesystem>

#include "brokerOptions.hpp"
#include "tempDir.hpp"

namespace corvane::testing {

// Every certificate the TLS tests need, made with the openssl command line tool (EC P-256 keys, so
// it takes a few tens of milliseconds). All PEM. Server certificates name 127.0.0.1 and localhost
// unless said otherwise.
class Certificates {
 public:
  // Generated on first use and kept until the test binary ends; safe to call from any thread.
  static const Certificates& shared();

  // Generates a fresh set into a directory of its own; throws std::runtime_error with openssl's
  // output when a step fails.
  Certificates();

  // The test CA ("Corvane Test CA") and its key.
  const CertificateFiles& ca() const noexcept { return ca_; }
  const std::filesystem::path& caFile() const noexcept { return ca_.certificate; }
  // Signed by ca(): SAN IP:127.0.0.1, DNS:localhost; serverAuth.
  const CertificateFiles& server() const noexcept { return server_; }
  // Signed by ca(): CN "Corvane Test Client", clientAuth.
  const CertificateFiles& client() const noexcept { return client_; }
  // Signed by ca(), right names, but valid only from 2020-01-01 to 2020-01-02.
  const CertificateFiles& expiredServer() const noexcept { return expiredServer_; }
  // Signed by ca(), valid, but for SAN DNS:wrong.example only.
  const CertificateFiles& wrongHostServer() const noexcept { return wrongHostServer_; }
  // A CA unrelated to ca() ("Corvane Wrong CA"): trusting it must reject every server above.
  const std::filesystem::path& wrongCaFile() const noexcept { return wrongCa_.certificate; }
  // Self-signed server certificate (SAN IP:127.0.0.1, DNS:localhost; CN "Corvane Pinned Server"),
  // for pinning: a file holding it alone is both the trust anchor and the pinned certificate.
  const CertificateFiles& selfSignedServer() const noexcept { return selfSignedServer_; }
  // A second self-signed server certificate, same SAN, CN "Corvane Other Server". The subjects
  // differ on purpose: OpenSSL looks trust anchors up by subject and would find only one of two
  // self-signed certificates with the same name.
  const CertificateFiles& otherSelfSignedServer() const noexcept { return otherSelfSignedServer_; }
  // selfSignedServer() followed by otherSelfSignedServer() in one file: both verify against it as
  // trust anchors; pinning takes the first only.
  const std::filesystem::path& twoCertificatesFile() const noexcept { return twoCertificatesFile_; }
  // A directory holding ca() only, with the <hash>.0 links that OpenSSL looks up (openssl rehash).
  const std::filesystem::path& caDirectory() const noexcept { return caDirectory_; }

 private:
  TempDir directory_{"corvane-certificates"};
  CertificateFiles ca_;
  CertificateFiles server_;
  CertificateFiles client_;
  CertificateFiles expiredServer_;
  CertificateFiles wrongHostServer_;
  CertificateFiles wrongCa_;
  CertificateFiles selfSignedServer_;
  CertificateFiles otherSelfSignedServer_;
  std::filesystem::path twoCertificatesFile_;
  std::filesystem::path caDirectory_;
};

}  // namespace corvane::testing
