#include "support/TestSupport.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace testsupport {

static int decodeStatus(int st) { return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st); }

const PgTarget& pgTarget() {
  static const PgTarget target = [] {
    auto env = [](const char* name, const char* fallback) {
      const char* v = std::getenv(name);
      return std::string(v && *v ? v : fallback);
    };
    PgTarget t{env("PGHOST", ""), env("PGPORT", ""), env("PGUSER", "postgres"),
               env("PGDATABASE", "postgres")};
    if (!t.host.empty() && !t.port.empty()) return t;
    const std::string file = std::string(NORV_TEST_PG_DIR) + "/env", text = readFile(file);
    std::smatch m;
    if (!std::regex_search(text, m, std::regex("PGPORT=(\\d+)")))
      throw std::runtime_error("no PostgreSQL for the tests in " + file + " (run them by ctest)");
    return PgTarget{"127.0.0.1", m[1], "postgres", "postgres"};
  }();
  return target;
}

std::string pgConnString() {
  const PgTarget& t = pgTarget();
  return "host=" + t.host + " port=" + t.port + " user=" + t.user + " dbname=" + t.database;
}

TempDir::TempDir() {
  char tmpl[] = "/tmp/norv-test.XXXXXX";
  if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

TempDir::~TempDir() { runShell("rm -rf '" + path_ + "'"); }

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

void writeFile(const std::string& path, const std::string& content, int mode) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
  chmod(path.c_str(), mode);
}

bool fileExists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

const CertPair& suiteCert() {
  static TempDir dir;
  static const CertPair pair = [] {
    CertPair p{dir.file("localhost.crt"), dir.file("localhost.key")};
    ExecResult r = runShell(
        "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=localhost -addext "
        "subjectAltName=DNS:localhost,IP:127.0.0.1 -keyout " +
        p.key + " -out " + p.cert);
    if (r.status != 0) throw std::runtime_error("openssl req failed: " + r.output);
    return p;
  }();
  return pair;
}

int freePort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t len = sizeof a;
  bool ok = bind(fd, reinterpret_cast<sockaddr*>(&a), len) == 0 &&
            getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0;
  close(fd);
  if (!ok) throw std::runtime_error("freePort: bind failed");
  return ntohs(a.sin_port);
}

ExecResult runShell(const std::string& command) {
  ExecResult r;
  FILE* p = popen((command + " 2>&1").c_str(), "r");
  if (!p) return r;
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) r.output.append(buf, n);
  r.status = decodeStatus(pclose(p));
  return r;
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::string& stdoutPath,
                           const std::string& stderrPath, const std::string& stdinPath) {
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  int out[2] = {-1, -1};
  if (stdoutPath == kPipe && pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  if ((pid_ = fork()) < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);  // gone with the test program, however that ends
    if (out[1] >= 0) dup2(out[1], 1);
    const std::string* paths[] = {&stdinPath, &stdoutPath, &stderrPath};
    for (int i = 0; i < 3; ++i)
      if (!paths[i]->empty() && *paths[i] != kPipe)
        dup2(open(paths[i]->c_str(), i ? O_WRONLY | O_CREAT | O_TRUNC : O_RDONLY, 0644), i);
    execvp(args[0], args.data());
    _exit(127);
  }
  if (out[1] >= 0) close(out[1]);
  stdoutFd_ = out[0];
}

ChildProcess::ChildProcess(const std::function<int()>& body) {
  if ((pid_ = fork()) < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) prctl(PR_SET_PDEATHSIG, SIGKILL), _exit(body());
}

ChildProcess::~ChildProcess() {
  if (running()) kill(pid_, SIGKILL), waitpid(pid_, nullptr, 0);
  if (stdoutFd_ >= 0) close(stdoutFd_);
}

bool ChildProcess::running() {
  int st;
  if (!reaped_ && waitpid(pid_, &st, WNOHANG) == pid_) reaped_ = true, status_ = decodeStatus(st);
  return !reaped_;
}

void ChildProcess::signal(int sig) {
  if (!reaped_) kill(pid_, sig);
}

bool ChildProcess::wait(std::chrono::milliseconds timeout, int* status) {
  bool done = waitUntil([this] { return !running(); }, timeout);
  if (done && status) *status = status_;
  return done;
}

int ChildProcess::stop(int sig, std::chrono::milliseconds timeout) {
  int status = -1;
  signal(sig);
  if (!wait(timeout, &status)) signal(SIGKILL), wait(std::chrono::seconds(5), nullptr);
  return status;
}

ProcFigures readProc(pid_t pid) {
  ProcFigures f;
  const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
  const std::size_t close = stat.rfind(')');
  if (close != std::string::npos) {
    // Fields after the command name start at field 3 (state); utime is 14, stime 15.
    std::istringstream in(stat.substr(close + 2));
    std::string field;
    unsigned long long ticks = 0;
    for (int i = 3; i <= 15 && in >> field; ++i)
      if (i >= 14) ticks += std::strtoull(field.c_str(), nullptr, 10);
    f.cpuSeconds = static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
  }
  std::istringstream status(readFile("/proc/" + std::to_string(pid) + "/status"));
  for (std::string key; status >> key;) {
    if (key == "VmHWM:") status >> f.peakRssKb;
    if (key == "VmRSS:") status >> f.rssKb;
  }
  return f;
}

bool waitUntil(const std::function<bool()>& cond, std::chrono::milliseconds timeout) {
  auto end = std::chrono::steady_clock::now() + timeout;
  for (;; std::this_thread::sleep_for(std::chrono::milliseconds(10))) {
    if (cond()) return true;
    if (std::chrono::steady_clock::now() >= end) return false;
  }
}

int portSaid(const std::string& path, const std::string& what) {
  const std::regex said(what + "([0-9]+)");
  std::smatch port;
  std::string text;
  waitUntil([&] { return std::regex_search(text = readFile(path), port, said); },
            std::chrono::seconds(10));
  return port.empty() ? 0 : std::stoi(port[1]);
}

std::vector<std::string> receiverArgv(const std::string& program, int port, const CertPair& cert,
                                      const std::vector<std::string>& options) {
  std::vector<std::string> argv{program, "--port", std::to_string(port), "--cert", cert.cert,
                                "--key", cert.key};
  argv.insert(argv.end(), options.begin(), options.end());
  return argv;
}

int startListening(std::unique_ptr<ChildProcess>& child, const std::vector<std::string>& argv,
                   const std::string& stdoutPath, const std::string& stderrPath) {
  unlink(stderrPath.c_str());  // an earlier receiver's line must not count
  child = std::make_unique<ChildProcess>(argv, stdoutPath, stderrPath);
  return portSaid(stderrPath, "listening on port ");
}

std::string sourcePath(const std::string& relative) { return NORV_SOURCE_DIR "/" + relative; }

void abandon(const std::string& why) {
  std::cout << why << std::endl;  // after what GoogleTest has printed
  std::_Exit(1);
}

}  // namespace testsupport
