#include "support/DaemonHarness.h"

#include <fcntl.h>
#include <json/json.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "support/WsPeers.h"

namespace testsupport {

using namespace std::chrono_literals;

namespace {

const std::regex kLogLine(
    R"(^(Mon|Tue|Wed|Thu|Fri|Sat|Sun) [A-Z][a-z]{2} [ 0-9]\d \d\d:\d\d:\d\d \d{4}#(INFO|ERR|DEBUG)#(.*)$)");

bool execOk(PGconn* c, const std::string& sql) {
  PgResult r(PQexec(c, sql.c_str()));
  return PQresultStatus(r.get()) == PGRES_COMMAND_OK;
}

}  // namespace

bool tryNotify(PGconn* c, const std::vector<std::string>& payloads, const std::string& raise) {
  if (!execOk(c, "BEGIN")) return false;
  for (const auto& p : payloads) {
    const char* value = p.c_str();
    PgResult r(
        PQexecParams(c, ("SELECT " + raise).c_str(), 1, nullptr, &value, nullptr, nullptr, 0));
    if (PQresultStatus(r.get()) != PGRES_TUPLES_OK) return false;
  }
  return execOk(c, "COMMIT");
}

void notify(PGconn* c, const std::vector<std::string>& payloads, const std::string& raise) {
  EXPECT_TRUE(tryNotify(c, payloads, raise)) << PQerrorMessage(c);
}

std::vector<std::string> sequencePayloads(int n, const std::string& tag) {
  std::vector<std::string> v;
  for (int i = 0; i < n; ++i)
    v.push_back("{\"fromhost\":\"" + tag + "\",\"seq\":" + std::to_string(i) + "}");
  return v;
}

std::vector<std::string> logMessages(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  std::smatch m;
  for (std::string line; std::getline(in, line);)
    if (std::regex_match(line, m, kLogLine)) out.push_back(m[2].str() + "#" + m[3].str());
  return out;
}

void DaemonHarness::SetUp() {
  pgHost_ = pgTarget().host;
  pgPort_ = pgTarget().port;
  pgDb_ = createDatabase("");
  source_ = "notify";
  dbExtra_.clear();
}

void DaemonHarness::TearDown() {
  daemon_.reset();
  proxy_.reset();
  if (burst_.joinable()) burst_.join();
  copying_ = false;
  if (unblocked_.joinable()) unblocked_.join();
  if (blockedFd_ >= 0) close(blockedFd_);
  blockedFd_ = -1;
  receiver_.reset();
  receiverPort_ = receivers_ = 0;
  if (cluster_) privateCluster("stop");
  cluster_.reset();
  PgConn admin = pgConnect(pgConnString());
  for (const auto& db : ownDbs_)
    execOk(admin.get(), "DROP DATABASE IF EXISTS " + db + " WITH (FORCE)");
  ownDbs_.clear();
}

std::string DaemonHarness::createDatabase(const std::string& options) {
  const std::string name =
      "norv_case_" + std::to_string(getpid()) + "_" + std::to_string(ownDbs_.size());
  PgConn admin = pgConnect(pgConnString());
  EXPECT_TRUE(execOk(admin.get(), "CREATE DATABASE " + name + " " + options))
      << PQerrorMessage(admin.get());
  ownDbs_.push_back(name);
  return name;
}

void DaemonHarness::startReceiver(std::vector<std::string> options, bool blockedOutput) {
  std::string output = dir_.file("received" + std::to_string(++receivers_) + ".jsonl");
  if (blockedOutput) {
    output = dir_.file("receiver.pipe");
    unlink(output.c_str());
    ASSERT_EQ(mkfifo(output.c_str(), 0600), 0);
    blockedFd_ = open(output.c_str(), O_RDONLY | O_NONBLOCK);  // held, not read
  }
  receiverPort_ =
      startListening(receiver_, receiverArgv(NORV_RECEIVE_PROGRAM, receiverPort_, cert_, options),
                     output, dir_.file("receiver.err"));
  ASSERT_NE(receiverPort_, 0) << readFile(dir_.file("receiver.err"));
}

void DaemonHarness::unblockReceiver(size_t chunk, Ms pause) {
  copying_ = true;
  unblocked_ = std::thread(
      [this, chunk, pause, file = dir_.file("received" + std::to_string(receivers_) + ".jsonl")] {
        std::ofstream copy(file, std::ios::binary);
        char buffer[65536];
        for (;;) {
          pollfd fd = {blockedFd_, POLLIN, 0};
          poll(&fd, 1, 50);
          ssize_t n = read(blockedFd_, buffer, std::min(chunk, sizeof buffer));
          if (n > 0)
            copy.write(buffer, n).flush(), std::this_thread::sleep_for(pause);
          else if (n == 0 || !copying_)
            break;
        }
      });
}

int DaemonHarness::startProxy(int upstream, int seconds) {
  const std::string out = dir_.file("proxy.out");
  unlink(out.c_str());  // an earlier proxy's port must not count
  proxy_ = std::make_unique<ChildProcess>(
      wsPeerArgv({"delay", "0", std::to_string(upstream), std::to_string(seconds)}), out);
  return portSaid(out, "ready ");
}

bool DaemonHarness::startPrivateCluster() {
  cluster_ = std::make_unique<TempDir>();
  if (privateCluster("start") != 0) return false;
  std::smatch m;
  std::string env = readFile(cluster_->file("env"));
  if (!std::regex_search(env, m, std::regex("PGPORT=(\\d+)"))) return false;
  pgPort_ = m[1];
  pgDb_ = "postgres";  // the cluster is this case's alone
  return true;
}

int DaemonHarness::privateCluster(const std::string& verb) {
  return runShell(sourcePath("scripts/pg-cluster.sh") + " " + verb + " " + cluster_->path()).status;
}

std::string DaemonHarness::writeConfig(int receiverPort, const std::string& receiverExtra) {
  std::string path = dir_.file("norv.conf");
  writeFile(path, (logPath_.empty() ? "" : "[LOG]\nlog_file=" + logPath_ + "\n") +
                      "[DB]\nPGSQL_host=" + pgHost_ + "\nPGSQL_port=" + pgPort_ +
                      "\nPGSQL_db=" + pgDb_ + "\nPGSQL_username=postgres\nPGSQL_pwd=" + pgPwd_ +
                      "\nsource=" + source_ + "\n" + dbExtra_ + "[RECEIVER]\nip=localhost\nport=" +
                      std::to_string(receiverPort) + "\n" + receiverExtra);
  return path;
}

void DaemonHarness::startDaemon(std::vector<std::string> args) {
  args.insert(args.begin(), NORV_SEND_PROGRAM);
  daemon_ = std::make_unique<ChildProcess>(args, dir_.file("daemon.out"));
}

void DaemonHarness::startRelay(const std::string& receiverExtra) {
  unlink(logPath_.c_str());  // what an earlier run of the case logged must not count
  startDaemon({"-f", writeConfig(receiverPort_, receiverExtra)});
  ASSERT_TRUE(waitLog("LISTEN SUCCESS") && waitLog("\nHEELO\n")) << log();
}

void DaemonHarness::startBurst(const std::vector<std::string>& payloads, bool outbox) {
  burst_ = std::thread([payloads, outbox, conninfo = conninfo()] {
    PgConn c(PQconnectdb(conninfo.c_str()));
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    for (size_t i = 0; i < payloads.size(); i += 1000) {
      auto end = payloads.begin() + std::min(payloads.size(), i + 1000);
      const std::vector<std::string> part(payloads.begin() + i, end);
      while (!tryNotify(c.get(), part, outbox ? kOutboxRaise : kNotifyRaise)) {
        if (!outbox || std::chrono::steady_clock::now() > deadline) return;
        std::this_thread::sleep_for(50ms);
        c.reset(PQconnectdb(conninfo.c_str()));
      }
    }
  });
  waitUntil([&] { return taken().size() >= 1000; }, 20s);
}

int DaemonHarness::waitExit(Ms timeout) {
  int status = -1;
  EXPECT_TRUE(daemon_->wait(timeout, &status)) << "daemon still running; log:\n"
                                               << log().substr(0, 4000);
  return status;
}

int DaemonHarness::stopDaemon(int sig) {
  daemon_->signal(sig);
  return waitExit();
}

bool DaemonHarness::finished() const {
  const std::string text = out(), tail = "Fin programme\n";
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

bool DaemonHarness::waitLog(const std::string& needle, Ms t) {
  return waitUntil([&] { return log().find(needle) != std::string::npos; }, t);
}

bool DaemonHarness::logged(const std::string& prefix) const {
  for (const auto& m : logMessages(log()))
    if (m.rfind(prefix, 0) == 0) return true;
  return false;
}

std::string DaemonHarness::conninfo() const {
  return "host=" + pgHost_ + " port=" + pgPort_ + " user=postgres dbname=" + pgDb_;
}

std::vector<std::string> DaemonHarness::taken() const {
  std::vector<std::string> payloads;
  for (const auto& m : logMessages(log()))
    if (m.rfind("INFO#th_listener#Receive#syslog#", 0) == 0) payloads.push_back(m.substr(32));
  return payloads;
}

std::vector<std::string> DaemonHarness::received() const {
  std::vector<std::string> payloads;
  Json::CharReaderBuilder b;
  for (int i = 1; i <= receivers_; ++i) {
    std::istringstream in(readFile(dir_.file("received" + std::to_string(i) + ".jsonl")));
    for (std::string line; std::getline(in, line);) {
      Json::Value root;
      std::istringstream ls(line);
      if (!Json::parseFromStream(b, ls, &root, nullptr)) break;  // a line still being written
      payloads.push_back(root["payload"].asString());
    }
  }
  return payloads;
}

bool DaemonHarness::waitReceived(size_t n, Ms t) {
  return waitUntil([&] { return received().size() >= n; }, t);
}

size_t DaemonHarness::expectWholeLines(const std::vector<std::string>& burst) {
  // A time stamp (the daemon's or the WebSocket library's) only ever starts
  // a line, and a line that starts with the daemon's is a log line.
  static const std::regex stamp(
      R"((Mon|Tue|Wed|Thu|Fri|Sat|Sun) [A-Z][a-z]{2} [ 0-9]\d \d\d:\d\d:\d\d \d{4}#|\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\] \[)");
  std::istringstream in(log());
  for (std::string line; std::getline(in, line);) {
    auto stamps = std::sregex_iterator(line.begin(), line.end(), stamp);
    if (stamps == std::sregex_iterator()) continue;
    EXPECT_EQ(stamps->position(), 0) << line;
    EXPECT_EQ(std::distance(stamps, std::sregex_iterator()), 1) << line;
    EXPECT_TRUE(line[0] == '[' || std::regex_match(line, kLogLine)) << line;
  }
  auto startOfBurst = [&](const std::vector<std::string>& got) {
    return got.size() <= burst.size() && std::equal(got.begin(), got.end(), burst.begin());
  };
  const std::vector<std::string> got = taken();
  EXPECT_TRUE(startOfBurst(got)) << "the daemon took something else than the start of the burst";
  EXPECT_TRUE(startOfBurst(received()))
      << "the receiver got something else than the start of the burst";
  return got.size();
}

}  // namespace testsupport
