// The client across a network that is not loopback, through relays that behave like one: a TCP
// handshake that takes time, a server that never answers, a link that falls silent; and what the
// record says when an attempt fails.
#include <gtest/gtest.h>
#include <openssl/x509_vfy.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "broker.hpp"
#include "certificates.hpp"
#include "clientModel.hpp"
#include "loopbackPort.hpp"
#include "relay.hpp"
#include "ssl/errors.hpp"
#include "testPeer.hpp"

namespace corvane::plugins::mqttClient {
namespace {

using namespace corvane::testing;
using namespace std::chrono_literals;

// CPU time (user and system) the process's network threads of clients have used, in seconds.
double networkThreadCpuSeconds() {
  double ticks = 0;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream comm(task.path() / "comm");
    std::string name;
    if (!std::getline(comm, name) || name != "mqtt-client") continue;
    std::ifstream stat(task.path() / "stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    std::istringstream fields(text.substr(text.rfind(')') + 2));  // after the name, from field 3 on
    std::string skipped;
    for (int field = 3; field < 14; ++field) fields >> skipped;
    double user = 0, system = 0;
    fields >> user >> system;
    ticks += user + system;
  }
  return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// A TCP handshake that takes a second (the relay's full listen queue drops the first SYN): plain
// and TLS connect as soon as the relay accepts, and the client's thread waits without spinning.
TEST(ClientNetwork, ASlowTcpHandshakeConnectsWithoutSpinning) {
  const auto& certificates = Certificates::shared();
  Broker broker({.tlsListener = TlsListenerOptions{.server = certificates.server()}});
  broker.start();
  const std::string tls = R"("useTLS": true, "caCertificateFile": ")" + certificates.caFile().string() + "\"";
  for (const bool useTls : {false, true}) {
    SCOPED_TRACE(useTls ? "TLS" : "plain");
    Relay relay(useTls ? broker.tlsPort() : broker.port(), {.holdQueue = 2s});
    ClientModel m(clientConfig(relay.port(), "slow-handshake", useTls ? tls : ""));
    m.prepare();
    const double cpuBefore = networkThreadCpuSeconds();
    m.client().activate();
    ASSERT_TRUE(eventually([&] { return m.client().data().deviceState; }, 10s)) << describe(m.client().data().error);
    const auto connectedAt = std::chrono::steady_clock::now();
    ASSERT_TRUE(relay.firstAccepted());
    EXPECT_LT(connectedAt - *relay.firstAccepted(), 1s);
    EXPECT_LT(networkThreadCpuSeconds() - cpuBefore, 0.2) << "CPU seconds of the network thread while it waited";
  }
}

// An attempt nobody answers ends at the connect timeout with its own error; the reconnect task's
// next run tries again; a deactivation ends a waiting attempt at once.
TEST(ClientNetwork, AnAttemptNobodyAnswersEndsAtTheConnectTimeout) {
  SilentListener silent;  // accepts TCP, never answers: neither the CONNECT nor a ClientHello
  const auto timedOut = make_error_code(CustomError::ConnectTimeout);
  for (const char* members : {"", R"("useTLS": true, "verifyCertificate": false)"}) {
    SCOPED_TRACE(members);
    ClientModel m(clientConfig(silent.port(), "silent", members));
    m.client().connectTimeout = 1s;
    m.prepare();
    const auto start = std::chrono::steady_clock::now();
    m.client().activate();
    ASSERT_TRUE(eventually([&] { return m.client().data().error == timedOut; }, 3s)) << describe(m.client().data().error);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_TRUE(m.waitForIdle());
    m.reconnect();
    ASSERT_TRUE(eventually([&] { return m.client().connectionState() == ConnectionState::Connecting; }));
    const auto deactivated = std::chrono::steady_clock::now();
    m.client().deactivate();
    EXPECT_TRUE(m.waitForIdle());
    EXPECT_LT(std::chrono::steady_clock::now() - deactivated, 500ms);
  }
  EXPECT_EQ(describe(timedOut), "Corvane.MQTTClient 13: the broker did not answer within 30 s");
}

// A failed attempt keeps its cause in the record: the socket that closes after a failed handshake
// does not replace the verification verdict, attempt after attempt.
TEST(ClientNetwork, TheCauseOfAFailedAttemptStaysInTheRecord) {
  const auto& certificates = Certificates::shared();
  Broker broker({.plainListener = false,
                 .tlsListener = TlsListenerOptions{.caFile = certificates.caFile(), .server = certificates.server()}});
  broker.start();
  ClientModel m(clientConfig(broker.tlsPort(), "wrong-ca",
                             R"("useTLS": true, "caCertificateFile": ")" + certificates.wrongCaFile().string() + "\""));
  m.prepare();
  const auto verdict = ssl::makeCertificateVerificationError(X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN);
  m.client().activate();
  ASSERT_TRUE(eventually([&] { return m.client().data().error == verdict; })) << describe(m.client().data().error);
  std::set<std::string> seen;
  for (auto end = std::chrono::steady_clock::now() + 5s; std::chrono::steady_clock::now() < end;) {
    m.reconnect();
    for (auto second = std::chrono::steady_clock::now() + 1s; std::chrono::steady_clock::now() < second;) {
      seen.insert(describe(m.client().data().error));
      std::this_thread::sleep_for(5ms);
    }
  }
  EXPECT_EQ(seen, std::set<std::string>{describe(verdict)});
}

// A link that falls silent without a reset is found lost by the keepalive; once it carries traffic
// again the reconnect task connects, and the command is subscribed again and applied.
TEST(ClientNetwork, ASilentLinkIsFoundLostAndTheClientComesBack) {
  Broker broker;
  broker.start();
  Relay relay(broker.port(), {.delay = 20ms});
  ClientModel m(clientConfig(relay.port(), "silent-link", R"("keepaliveIntervalS": 5)"),
                R"({"class": "Command", "name": "set", "config": {"topic": "link/set",
                    "payload": [{"@DataPoint": {"dataPoint": "p", "jsonPath": "$"}}]}})",
                R"({"name": "p", "type": "integer", "value": 0})");
  m.prepare();
  ASSERT_TRUE(m.connect());
  relay.silence();
  const auto silenced = std::chrono::steady_clock::now();
  ASSERT_TRUE(eventually([&] { return !m.client().data().deviceState; }, 15s));
  EXPECT_LT(std::chrono::steady_clock::now() - silenced, 12s) << "more than twice the keepalive and 2 s";
  relay.resume();
  ASSERT_TRUE(eventually([&] {
    m.reconnect();
    return m.client().data().deviceState;
  }, 10s)) << describe(m.client().data().error);
  TestPeer sender({.port = broker.port()});
  ASSERT_TRUE(sender.connect().accepted());
  ASSERT_TRUE(eventually([&] {
    sender.publish("link/set", "42");
    return m.model.dataPoint("p")->value() == corvane::data::Value(std::int64_t{42});
  }, 5s, 100ms));
}

}  // namespace
}  // namespace corvane::plugins::mqttClient
