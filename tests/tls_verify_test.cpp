// Verified TLS as an option: the sender checks the receiver's chain and host
// name against a CA file when one is set, and can present a certificate of
// its own to a receiver that requires one. Real peers: norv-syslog-receive
// with certificates made by tests/support/make_pki.py.
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "support/TestSupport.h"
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
};

class TlsVerifyTest : public ::testing::TestWithParam<Case> {
 protected:
  static void SetUpTestSuite() {
    pki_ = new TempDir;
    ExecResult r = runShell("/usr/bin/python3 " + sourcePath("tests/support/make_pki.py") + " " + pki_->path());
    ASSERT_EQ(r.status, 0) << r.output;
  }
  static void TearDownTestSuite() { delete pki_; }
  static std::string pem(const std::string& name) { return pki_->file(name); }

  // Connects a SyslogClient in a child process (an open connection that
  // closes would end the process) and reports whether it opened.
  static bool opens(int port, const std::string& ca, bool withCert) {
    pid_t pid = fork();
    if (pid == 0) {
      int devnull = open("/dev/null", O_WRONLY);
      dup2(devnull, 1);
      dup2(devnull, 2);
      auto* client = new SyslogClient("wss://localhost:" + std::to_string(port));
      client->setCaFile(ca);
      if (withCert) client->setClientCertificate(pem("client.crt"), pem("client.key"));
      client->connect();
      waitUntil([&] { return client->getState() != SyslogClient::State::Connecting; }, 10s);
      _exit(client->getState() == SyslogClient::State::Open ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }

  static TempDir* pki_;
};
TempDir* TlsVerifyTest::pki_ = nullptr;

TEST_P(TlsVerifyTest, ConnectsOnlyWhenTheCertificatesCheckOut) {
  const Case& c = GetParam();
  TempDir run;
  int port = freePort();
  std::vector<std::string> argv = {NORV_RECEIVE_PROGRAM, "--port", std::to_string(port),
                                   "--cert", pem(std::string(c.serverCert) + ".crt"),
                                   "--key", pem(std::string(c.serverCert) + ".key")};
  if (c.requireClientCert) {
    argv.push_back("--client-ca");
    argv.push_back(pem("ca.crt"));
  }
  ChildProcess receiver(argv, "/dev/null", run.file("err"));
  ASSERT_TRUE(waitUntil([&] { return !readFile(run.file("err")).empty(); }, 10s));
  std::string ca = *c.caFile ? pem(c.caFile) : "";
  EXPECT_EQ(opens(port, ca, c.presentClientCert), c.opens);
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
        Case{"ClientCertificatePresented", "server", true, "ca.crt", true, true}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

}  // namespace
