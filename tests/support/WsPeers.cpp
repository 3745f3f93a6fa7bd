#include "support/WsPeers.h"

#include <mutex>

#include "websocket/ServerTlsContext.h"

namespace testsupport {

namespace {
std::mutex contextMutex;
std::shared_ptr<boost::asio::ssl::context> currentContext;
std::atomic<int> listenPort{0};
void recordListenPort(int port) { listenPort = port; }
}  // namespace

void useServerCert(const CertPair& pair) {
  auto context = norv::makeServerTlsContext(pair.cert, pair.key);
  std::lock_guard<std::mutex> lock(contextMutex);
  currentContext = context;
}

std::shared_ptr<boost::asio::ssl::context> serverTlsContext(int, std::weak_ptr<void>) {
  std::lock_guard<std::mutex> lock(contextMutex);
  return currentContext;
}

ServerThread::ServerThread(SyslogServer& server) : server_(server) {
  listenPort = 0;
  server_.setFunctionSSLContext(serverTlsContext);
  server_.setListeningFunction(recordListenPort);
  thread_ = std::thread([this] {
    try {
      server_.run();
    } catch (...) {
      error_ = std::current_exception();
    }
    returned_ = true;
  });
  waitUntil([this] { return listenPort.load() != 0 || returned_.load(); },
            std::chrono::seconds(5));
  port_ = listenPort.load();
}

ServerThread::~ServerThread() {
  if (!returned_.load()) {
    try {
      server_.stop();
    } catch (...) {
    }
  }
  thread_.join();
}

bool ServerThread::waitReturned(std::chrono::milliseconds timeout) {
  return waitUntil([this] { return returned_.load(); }, timeout);
}

std::string wssUri(int port) { return "wss://127.0.0.1:" + std::to_string(port); }

std::vector<std::string> wsPeerArgv(const std::vector<std::string>& args) {
  std::vector<std::string> argv{"/usr/bin/python3", sourcePath("tests/support/ws_peer.py")};
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

}  // namespace testsupport
