// Verified TLS as an option: with a CA file the sender checks the receiver's
// chain and host name, and it can present a certificate of its own to a
// receiver that requires one. Real peers: norv-syslog-receive with the
// certificates of tests/support/make_pki.py.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "support/TestSupport.h"
#include "support/WsPeers.h"
#include "websocket/SyslogClient.h"

using namespace testsupport;
using namespace std::chrono_literals;

namespace {

struct Case {
  const char* name;
  const char* serverCert;  // a name made by make_pki.py
  bool requireClientCert;
  const char* caFile;  // "" for no verification
  bool presentClientCert;
  bool opens;
  bool squatted = false;  // 40 bare TCP connections (reopened when dropped) past a limit of 20
};
void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }

class TlsVerifyTest : public ::testing::TestWithParam<Case> {
 protected:
  static void SetUpTestSuite() {
    ExecResult r =
        runShell("/usr/bin/python3 " + sourcePath("tests/support/make_pki.py ") + pki.path());
    ASSERT_EQ(r.status, 0) << r.output;
  }
  static std::string pem(const std::string& name) { return pki.file(name); }
  static inline TempDir pki;
};

TEST_P(TlsVerifyTest, ConnectsOnlyWhenTheCertificatesCheckOut) {
  const Case& c = GetParam();
  TempDir run;
  const std::string server = pem(c.serverCert);
  std::vector<std::string> options;
  if (c.requireClientCert) options.insert(options.end(), {"--client-ca", pem("ca.crt")});
  if (c.squatted) options.insert(options.end(), {"--max-connections", "20"});
  std::unique_ptr<ChildProcess> receiver;
  const int port = startListening(
      receiver, receiverArgv(NORV_RECEIVE_PROGRAM, 0, {server + ".crt", server + ".key"}, options),
      "/dev/null", run.file("err"));
  ASSERT_NE(port, 0) << readFile(run.file("err"));
  std::unique_ptr<ChildProcess> squat;
  if (c.squatted) {
    squat = std::make_unique<ChildProcess>(
        wsPeerArgv({"squat", "127.0.0.1", std::to_string(port), "40", "10"}), run.file("squat"));
    ASSERT_TRUE(waitUntil([&] { return !readFile(run.file("squat")).empty(); }, 10s));
  }
  // In a child process: an open connection that closes ends the process.
  ChildProcess client([&] {
    dup2(open("/dev/null", O_WRONLY), 1);
    dup2(1, 2);
    auto* sender = new SyslogClient("wss://localhost:" + std::to_string(port));
    sender->setCaFile(*c.caFile ? pem(c.caFile) : "");
    if (c.presentClientCert) sender->setClientCertificate(pem("client.crt"), pem("client.key"));
    sender->connect();
    return sender->waitWhile(SyslogClient::State::Connecting, 10s) == SyslogClient::State::Open;
  });
  int opened = -1;
  EXPECT_TRUE(client.wait(15s, &opened));
  EXPECT_EQ(opened, int(c.opens));
}

INSTANTIATE_TEST_SUITE_P(
    Certificates, TlsVerifyTest,
    ::testing::Values(
        Case{"NoVerificationAcceptsAnyCertificate", "unknown", false, "", false, true},
        Case{"TrustedChainAndMatchingHost", "server", false, "ca.crt", false, true},
        Case{"WrongHostName", "wronghost", false, "ca.crt", false, false},
        Case{"UnknownAuthority", "unknown", false, "ca.crt", false, false},
        Case{"ExpiredCertificate", "expired", false, "ca.crt", false, false},
        Case{"MissingCaFile", "server", false, "absent.crt", false, false},
        Case{"ClientCertificateRequiredButMissing", "server", true, "ca.crt", false, false},
        Case{"ClientCertificatePresented", "server", true, "ca.crt", true, true},
        Case{"SquattedReceiver", "server", false, "", false, true, true},
        Case{"SquattedReceiverWithClientCa", "server", true, "ca.crt", true, true, true}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

}  // namespace
