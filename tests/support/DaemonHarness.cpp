#include "support/DaemonHarness.h"

#include <json/json.h>
#include <signal.h>
#include <unistd.h>

#include <sstream>

namespace testsupport {

using namespace std::chrono_literals;

namespace {
bool execOk(PGconn* c, const std::string& sql) {
  PGresult* r = PQexec(c, sql.c_str());
  bool ok = PQresultStatus(r) == PGRES_COMMAND_OK;
  PQclear(r);
  return ok;
}
}  // namespace

bool tryNotify(PGconn* c, const std::vector<std::string>& payloads, const std::string& channel) {
  if (!execOk(c, "BEGIN")) return false;
  for (const auto& p : payloads) {
    const char* values[2] = {channel.c_str(), p.c_str()};
    PGresult* r = PQexecParams(c, "SELECT pg_notify($1, $2)", 2, nullptr, values, nullptr, nullptr, 0);
    bool ok = PQresultStatus(r) == PGRES_TUPLES_OK;
    PQclear(r);
    if (!ok) return false;
  }
  return execOk(c, "COMMIT");
}

void notify(PGconn* c, const std::vector<std::string>& payloads, const std::string& channel) {
  EXPECT_TRUE(tryNotify(c, payloads, channel)) << PQerrorMessage(c);
}

std::vector<std::string> sequencePayloads(int n, const std::string& tag) {
  std::vector<std::string> v;
  for (int i = 0; i < n; ++i) v.push_back("{\"fromhost\":\"" + tag + "\",\"seq\":" + std::to_string(i) + "}");
  return v;
}

const std::regex kLogLine(
    R"(^(Mon|Tue|Wed|Thu|Fri|Sat|Sun) [A-Z][a-z]{2} [ 0-9]\d \d\d:\d\d:\d\d \d{4}#(INFO|ERR|DEBUG)#(.*)$)");

std::vector<std::string> logMessages(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  std::smatch m;
  for (std::string line; std::getline(in, line);)
    if (std::regex_match(line, m, kLogLine)) out.push_back(m[2].str() + "#" + m[3].str());
  return out;
}

void DaemonHarness::SetUp() {
  cert_ = makeSelfSignedCert(dir_.path());
  pgHost_ = envOr("PGHOST", "127.0.0.1");
  pgPort_ = envOr("PGPORT", "5432");
  pgDb_ = "norv_case_" + std::to_string(getpid());
  PgConn admin = pgConnect(pgConnString());
  ASSERT_TRUE(execOk(admin.get(), "CREATE DATABASE " + pgDb_)) << PQerrorMessage(admin.get());
  ownDb_ = pgDb_;
}

void DaemonHarness::TearDown() {
  daemon_.reset();
  joinBurst();
  if (ownDb_.empty()) return;
  PgConn admin = pgConnect(pgConnString());
  execOk(admin.get(), "DROP DATABASE IF EXISTS " + ownDb_ + " WITH (FORCE)");
}

void DaemonHarness::startReceiver() {
  receiverPort_ = freePort();
  receiver_ = std::make_unique<ChildProcess>(
      std::vector<std::string>{binPath("norv-syslog-receive"), "--port", std::to_string(receiverPort_), "--cert",
                               cert_.cert, "--key", cert_.key},
      dir_.file("received.jsonl"), dir_.file("receiver.err"));
  ASSERT_TRUE(waitUntil([&] { return !readFile(dir_.file("receiver.err")).empty(); }, 10s));
}

bool DaemonHarness::startPrivateCluster(const TempDir& dir) {
  if (runShell(sourcePath("scripts/pg-cluster.sh") + " start " + dir.path()).status != 0) return false;
  std::smatch m;
  std::string env = readFile(dir.file("env"));
  if (!std::regex_search(env, m, std::regex("PGPORT=(\\d+)"))) return false;
  pgHost_ = "127.0.0.1";
  pgPort_ = m[1];
  pgDb_ = "postgres";  // the cluster is this case's alone
  return true;
}

std::string DaemonHarness::writeConfig(int receiverPort) {
  std::string path = dir_.file("norv.conf");
  writeFile(path, (logPath_.empty() ? "" : "[LOG]\nlog_file=" + logPath_ + "\n") + "[DB]\nPGSQL_host=" + pgHost_ +
                      "\nPGSQL_port=" + pgPort_ + "\nPGSQL_db=" + pgDb_ + "\nPGSQL_username=postgres\nPGSQL_pwd=" +
                      pgPwd_ + "\n[RECEIVER]\nip=localhost\nport=" + std::to_string(receiverPort) + "\n");
  return path;
}

void DaemonHarness::startDaemon(std::vector<std::string> args) {
  args.insert(args.begin(), binPath("norv-syslog-send"));
  daemon_ = std::make_unique<ChildProcess>(args, dir_.file("daemon.out"));
}

void DaemonHarness::startRelay() {
  startDaemon({"-f", writeConfig(receiverPort_)});
  ASSERT_TRUE(waitLog("LISTEN SUCCESS") && waitLog("\nHEELO\n")) << log();
}

void DaemonHarness::startBurst(const std::vector<std::string>& payloads) {
  burst_ = std::thread([payloads, conninfo = conninfo()] {
    PgConn c(PQconnectdb(conninfo.c_str()));
    for (size_t i = 0; i < payloads.size(); i += 1000) {
      auto end = payloads.begin() + std::min(payloads.size(), i + 1000);
      if (!tryNotify(c.get(), std::vector<std::string>(payloads.begin() + i, end))) return;
    }
  });
  waitReceived(2000);
}

void DaemonHarness::joinBurst() {
  if (burst_.joinable()) burst_.join();
}

int DaemonHarness::waitExit(std::chrono::milliseconds timeout) {
  int status = -1;
  EXPECT_TRUE(daemon_->wait(timeout, &status)) << "daemon still running; log:\n" << log();
  return status;
}

int DaemonHarness::stopDaemon() {
  daemon_->signal(SIGTERM);
  return waitExit();
}

bool DaemonHarness::finished() const {
  const std::string text = out(), tail = "Fin programme\n";
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

bool DaemonHarness::waitLog(const std::string& needle, std::chrono::milliseconds t) {
  return waitUntil([&] { return log().find(needle) != std::string::npos; }, t);
}

bool DaemonHarness::logged(const std::string& prefix) const {
  for (const auto& m : logMessages(log()))
    if (m.rfind(prefix, 0) == 0) return true;
  return false;
}

bool DaemonHarness::loggedTimings() const {
  static const std::regex timings("\nSocket Init: -?\\d+\nTLS Init: -?\\d+\nOpen: -?\\d+\nMessage: -?\\d+\nClose: -?\\d+\n");
  return std::regex_search(log(), timings);
}

std::string DaemonHarness::conninfo() const {
  return "host=" + pgHost_ + " port=" + pgPort_ + " user=postgres dbname=" + pgDb_;
}

std::vector<std::string> DaemonHarness::received(std::vector<std::string>* hosts) {
  std::vector<std::string> payloads;
  std::istringstream in(readFile(dir_.file("received.jsonl")));
  Json::CharReaderBuilder b;
  for (std::string line; std::getline(in, line);) {
    Json::Value root;
    std::istringstream ls(line);
    if (!Json::parseFromStream(b, ls, &root, nullptr)) break;  // a line still being written
    payloads.push_back(root["payload"].asString());
    if (hosts) hosts->push_back(root["host"].asString());
  }
  return payloads;
}

bool DaemonHarness::waitReceived(size_t n, std::chrono::milliseconds t) {
  return waitUntil([&] { return received().size() >= n; }, t);
}

}  // namespace testsupport
