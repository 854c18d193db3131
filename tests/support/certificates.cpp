#include "certificates.hpp"

#include <stdexcept>
#include <string>
#include <vector>

#include "childProcess.hpp"
#include "files.hpp"

namespace corvane::testing {
namespace {

// One configuration for every openssl call: extension profiles by name, and a minimal "openssl ca"
// set-up, the only way OpenSSL 3.0 lets a certificate start in the past.
constexpr const char* kOpensslConfig = R"(
[req]
distinguished_name = dn
prompt = no
[dn]
[ca_ext]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[server_ext]
basicConstraints = CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = serverAuth
subjectAltName = IP:127.0.0.1, DNS:localhost
authorityKeyIdentifier = keyid
[wrong_host_ext]
basicConstraints = CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = serverAuth
subjectAltName = DNS:wrong.example
authorityKeyIdentifier = keyid
[client_ext]
basicConstraints = CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = clientAuth
authorityKeyIdentifier = keyid
[self_signed_ext]
subjectAltName = IP:127.0.0.1, DNS:localhost
[ca]
default_ca = test_ca
[test_ca]
database = $dir/ca-index.txt
serial = $dir/ca-serial.txt
new_certs_dir = $dir/issued
default_md = sha256
policy = any_name
unique_subject = no
copy_extensions = none
[any_name]
commonName = supplied
)";

const std::vector<std::string> kNewKey = {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-noenc"};

void openssl(std::vector<std::string> args) {
  args.insert(args.begin(), "openssl");
  auto result = runProcess(args);
  if (result.exitCode != 0) {
    std::string command;
    for (const auto& arg : args) command += arg + ' ';
    throw std::runtime_error("certificate generation failed: " + command + "\n" + result.output);
  }
}

std::vector<std::string> joined(std::vector<std::string> first, const std::vector<std::string>& second) {
  first.insert(first.end(), second.begin(), second.end());
  return first;
}

}  // namespace

const Certificates& Certificates::shared() {
  static const Certificates certificates;
  return certificates;
}

Certificates::Certificates() {
  const auto& dir = directory_.path();
  // "openssl ca" would resolve its database paths against the working directory; $dir pins them here.
  const auto config = directory_.writeFile("openssl.cnf", "dir = " + dir.string() + "\n" + kOpensslConfig).string();
  auto files = [&](const std::string& name) { return CertificateFiles{dir / (name + ".pem"), dir / (name + ".key")}; };
  // A self-signed certificate with a fresh key; a CA's when extensions is ca_ext.
  auto selfSigned = [&](const std::string& name, const std::string& subject, const std::string& extensions) {
    auto out = files(name);
    openssl(joined({"req", "-x509", "-config", config, "-extensions", extensions, "-subj", subject, "-days", "3650",
                    "-keyout", out.key.string(), "-out", out.certificate.string()},
                   kNewKey));
    return out;
  };
  auto signedByCa = [&](const std::string& name, const std::string& subject, const std::string& extensions) {
    auto out = files(name);
    openssl(joined({"req", "-x509", "-config", config, "-extensions", extensions, "-subj", subject, "-days", "3650",
                    "-CA", ca_.certificate.string(), "-CAkey", ca_.key.string(), "-keyout", out.key.string(), "-out",
                    out.certificate.string()},
                   kNewKey));
    return out;
  };

  ca_ = selfSigned("ca", "/CN=Corvane Test CA", "ca_ext");
  wrongCa_ = selfSigned("wrong-ca", "/CN=Corvane Wrong CA", "ca_ext");
  server_ = signedByCa("server", "/CN=localhost", "server_ext");
  client_ = signedByCa("client", "/CN=Corvane Test Client", "client_ext");
  wrongHostServer_ = signedByCa("wrong-host-server", "/CN=wrong.example", "wrong_host_ext");
  selfSignedServer_ = selfSigned("self-signed-server", "/CN=Corvane Pinned Server", "self_signed_ext");
  otherSelfSignedServer_ = selfSigned("other-self-signed-server", "/CN=Corvane Other Server", "self_signed_ext");

  expiredServer_ = files("expired-server");
  const auto request = (dir / "expired-server.csr").string();
  openssl(joined({"req", "-new", "-config", config, "-subj", "/CN=localhost", "-keyout", expiredServer_.key.string(),
                  "-out", request},
                 kNewKey));
  directory_.writeFile("ca-index.txt", "");
  directory_.writeFile("ca-serial.txt", "1000\n");
  std::filesystem::create_directory(dir / "issued");
  openssl({"ca",          "-batch",
           "-config",     config,
           "-name",       "test_ca",
           "-cert",       ca_.certificate.string(),
           "-keyfile",    ca_.key.string(),
           "-in",         request,
           "-out",        expiredServer_.certificate.string(),
           "-startdate",  "20200101000000Z",
           "-enddate",    "20200102000000Z",
           "-extfile",    config,
           "-extensions", "server_ext",
           "-notext"});

  twoCertificatesFile_ = directory_.writeFile(
      "two-certificates.pem", readFile(selfSignedServer_.certificate) + readFile(otherSelfSignedServer_.certificate));

  caDirectory_ = dir / "ca-directory";
  std::filesystem::create_directory(caDirectory_);
  std::filesystem::copy_file(ca_.certificate, caDirectory_ / "corvane-test-ca.pem");
  openssl({"rehash", caDirectory_.string()});
}

}  // namespace corvane::testing
