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

void openssl(std::vector<std::string> args) {
  args.insert(args.begin(), "openssl");
  if (auto result = runProcess(args); result.exitCode != 0) {
    throw std::runtime_error("certificate generation failed: openssl " + args[1] + "\n" + result.output);
  }
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
  // A request (`command` "req -new") or a certificate ("req -x509") with a fresh EC P-256 key; by the
  // CA when `byCa`.
  auto make = [&](const std::string& name, const std::string& subject, const std::string& command,
                  const std::string& extensions = "", bool byCa = false) {
    const std::string out = (dir / name).string() + (command == "-new" ? ".csr" : ".pem");
    std::vector<std::string> args{"req", command, "-config", config, "-subj", subject, "-keyout", (dir / name).string() + ".key",
                                  "-out", out, "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-noenc"};
    if (!extensions.empty()) args.insert(args.end(), {"-extensions", extensions, "-days", "3650"});
    if (byCa) args.insert(args.end(), {"-CA", ca_.certificate.string(), "-CAkey", ca_.key.string()});
    openssl(args);
    return CertificateFiles{dir / (name + ".pem"), dir / (name + ".key")};
  };
  ca_ = make("ca", "/CN=Corvane Test CA", "-x509", "ca_ext");
  wrongCa_ = make("wrong-ca", "/CN=Corvane Wrong CA", "-x509", "ca_ext");
  server_ = make("server", "/CN=localhost", "-x509", "server_ext", true);
  client_ = make("client", "/CN=Corvane Test Client", "-x509", "client_ext", true);
  wrongHostServer_ = make("wrong-host-server", "/CN=wrong.example", "-x509", "wrong_host_ext", true);
  selfSignedServer_ = make("self-signed-server", "/CN=Corvane Pinned Server", "-x509", "self_signed_ext");
  otherSelfSignedServer_ = make("other-self-signed-server", "/CN=Corvane Other Server", "-x509", "self_signed_ext");

  expiredServer_ = make("expired-server", "/CN=localhost", "-new");
  directory_.writeFile("ca-index.txt", "");
  directory_.writeFile("ca-serial.txt", "1000\n");
  std::filesystem::create_directory(dir / "issued");
  openssl({"ca", "-batch", "-config", config, "-name", "test_ca", "-cert", ca_.certificate.string(), "-keyfile",
           ca_.key.string(), "-in", (dir / "expired-server.csr").string(), "-out", expiredServer_.certificate.string(),
           "-startdate", "20200101000000Z", "-enddate", "20200102000000Z", "-extfile", config, "-extensions",
           "server_ext", "-notext"});

  twoCertificatesFile_ = directory_.writeFile(
      "two-certificates.pem", readFile(selfSignedServer_.certificate) + readFile(otherSelfSignedServer_.certificate));

  caDirectory_ = dir / "ca-directory";
  std::filesystem::create_directory(caDirectory_);
  std::filesystem::copy_file(ca_.certificate, caDirectory_ / "corvane-test-ca.pem");
  openssl({"rehash", caDirectory_.string()});
}

}  // namespace corvane::testing
