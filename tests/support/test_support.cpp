#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cerrno>

#include "broker.hpp"
#include "certificates.hpp"
#include "childProcess.hpp"
#include "loopbackPort.hpp"
#include "testPeer.hpp"

namespace corvane::testing {
namespace {

using namespace std::chrono_literals;

// No child may be left unreaped; waitpid fails with ECHILD only when there is none at all.
bool noChildProcesses() {
  return ::waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD;
}

TEST(Broker, RestartsOnTheSamePortAndLeavesNoZombie) {
  Broker broker;
  broker.start();
  const int port = broker.port();
  TestPeer peer({.port = port});
  ASSERT_TRUE(peer.connect().accepted()) << broker.logReport();
  peer.subscribe("lifecycle/#");

  broker.stop();
  EXPECT_FALSE(acceptsConnections(port));
  EXPECT_TRUE(noChildProcesses());

  broker.start();
  EXPECT_EQ(broker.port(), port);
  // The peer finds the broker again at the old address and renews its subscription there.
  ASSERT_TRUE(peer.waitForConnectionCount(2, 10s)) << broker.logReport();
  TestPeer publisher({.port = port});
  ASSERT_TRUE(publisher.connect().accepted());
  publisher.publishAndWait("lifecycle/after", "back");
  EXPECT_TRUE(peer.waitForTopic("lifecycle/after"));

  broker.kill();
  EXPECT_TRUE(noChildProcesses());
}

TEST(Broker, PausedBrokerAnswersOnlyAfterResume) {
  Broker broker;
  broker.start();
  TestPeer peer({.port = broker.port()});
  ASSERT_TRUE(peer.connect().accepted());
  peer.subscribe("paused");  // a PUBACK of 0 needs a subscriber, else MQTT 5 says 16, no subscribers
  broker.pause();
  const int messageId = peer.publish("paused", "x", 1);
  EXPECT_FALSE(peer.waitForPublished(messageId, 300ms));
  broker.resume();
  EXPECT_EQ(peer.waitForPublished(messageId), 0);
}

struct RoundTripCase {
  const char* name;
  bool tls;
  bool trustWrongCa;  // the broker's certificate must then be refused
};

TEST(TestPeer, RoundTripOnPlainAndVerifiedTlsListeners) {
  const auto& certificates = Certificates::shared();
  Broker broker({.tlsListener = TlsListenerOptions{.caFile = certificates.caFile(), .server = certificates.server()}});
  broker.start();
  const RoundTripCase cases[] = {{"plain", false, false}, {"tls", true, false}, {"tls, wrong CA", true, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PeerOptions options{.port = c.tls ? broker.tlsPort() : broker.port()};
    if (c.tls)
      options.tls = PeerTlsOptions{.caFile = c.trustWrongCa ? certificates.wrongCaFile() : certificates.caFile()};
    TestPeer subscriber(options);
    TestPeer publisher(options);
    const auto connected = subscriber.connect();
    if (c.trustWrongCa) {
      EXPECT_EQ(connected.error, MOSQ_ERR_TLS) << connected.describe();
      continue;
    }
    ASSERT_TRUE(connected.accepted()) << connected.describe() << broker.logReport();
    ASSERT_TRUE(publisher.connect().accepted());
    EXPECT_EQ(subscriber.subscribe("round/trip", 1), std::vector<int>{1});
    const std::string payload("bytes\0\xff", 7);
    EXPECT_EQ(publisher.publishAndWait("round/trip", payload, 1), 0);
    const auto received = subscriber.waitForTopic("round/trip");
    ASSERT_TRUE(received);
    EXPECT_EQ(received->payload, payload);
    EXPECT_EQ(received->qos, 1);
    EXPECT_FALSE(received->retain);
  }
}

TEST(Broker, PasswordFileRefusesWrongCredentials) {
  Broker broker({.allowAnonymous = false, .passwords = {{"alice", "secret"}}});
  broker.start();
  struct Case {
    const char* user;
    const char* password;
    int connack;
  };
  const Case cases[] = {{"alice", "secret", 0}, {"alice", "wrong", 5}, {"mallory", "secret", 5}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.user) + "/" + c.password);
    TestPeer peer({.port = broker.port(), .version = MqttVersion::v311, .username = c.user, .password = c.password});
    EXPECT_EQ(peer.connect().reasonCode, c.connack);
  }
}

TEST(Broker, AclDeniedPublicationGetsNotAuthorizedPuback) {
  Broker broker({.acl = std::vector<AclRule>{{.access = AclAccess::readwrite, .topic = "allowed/#"}}});
  broker.start();
  TestPeer peer({.port = broker.port()});
  ASSERT_TRUE(peer.connect().accepted());
  peer.subscribe("#");
  EXPECT_EQ(peer.publishAndWait("allowed/topic", "x", 1), 0);
  EXPECT_EQ(peer.publishAndWait("forbidden/topic", "x", 1), 135);
  EXPECT_TRUE(broker.waitForLog("Denied PUBLISH from " + peer.clientId()));
}

TEST(Certificates, BadCertificatesAreBadInTheIntendedWay) {
  const auto& certificates = Certificates::shared();
  auto openssl = [](std::vector<std::string> args) {
    args.insert(args.begin(), "openssl");
    return runProcess(args);
  };
  const auto x509 = [&](const CertificateFiles& files, const char* option, const char* value) {
    return openssl({"x509", "-noout", "-in", files.certificate.string(), option, value});
  };
  EXPECT_NE(x509(certificates.expiredServer(), "-checkend", "0").exitCode, 0);
  EXPECT_EQ(x509(certificates.server(), "-checkend", "0").exitCode, 0);

  const auto wrongNames = x509(certificates.wrongHostServer(), "-ext", "subjectAltName").output;
  EXPECT_NE(wrongNames.find("DNS:wrong.example"), std::string::npos) << wrongNames;
  EXPECT_EQ(wrongNames.find("127.0.0.1"), std::string::npos) << wrongNames;
  const auto rightNames = x509(certificates.server(), "-ext", "subjectAltName").output;
  EXPECT_NE(rightNames.find("IP Address:127.0.0.1"), std::string::npos) << rightNames;

  const auto server = certificates.server().certificate.string();
  EXPECT_EQ(openssl({"verify", "-CAfile", certificates.caFile().string(), server}).exitCode, 0);
  EXPECT_EQ(openssl({"verify", "-CApath", certificates.caDirectory().string(), server}).exitCode, 0);
  EXPECT_NE(openssl({"verify", "-CAfile", certificates.wrongCaFile().string(), server}).exitCode, 0);
  // Both certificates of the two-certificate file must be trust anchors, or a broker presenting the
  // second could not get as far as the comparison with the pinned one.
  for (const auto* files : {&certificates.selfSignedServer(), &certificates.otherSelfSignedServer()}) {
    const auto verified =
        openssl({"verify", "-CAfile", certificates.twoCertificatesFile().string(), files->certificate.string()});
    EXPECT_EQ(verified.exitCode, 0) << verified.output;
  }
}

}  // namespace
}  // namespace corvane::testing
