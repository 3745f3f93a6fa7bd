#include "support/WsPeers.h"

#include "websocket/ServerTlsContext.h"

namespace testsupport {

using namespace std::chrono_literals;

static std::atomic<int> listenPort{0};

std::shared_ptr<boost::asio::ssl::context> serverTlsContext(int, std::weak_ptr<void>) {
  return norv::makeServerTlsContext(suiteCert().cert, suiteCert().key);
}

ServerThread::ServerThread(SyslogServer& server) : server_(server) {
  listenPort = 0;
  server_.setFunctionSSLContext(serverTlsContext);
  server_.setListeningFunction([](int port) { listenPort = port; });
  thread_ = std::thread([this] {
    try {
      server_.run();
    } catch (...) {
      error_ = std::current_exception();
    }
    returned_ = true;
  });
  waitUntil([this] { return listenPort != 0 || returned_; }, 5s);
  port_ = listenPort;
}

ServerThread::~ServerThread() {
  // A server that does not stop would keep the test waiting for its threads.
  finishesWithin(20s, "stop()", [this] {
    try {
      if (!returned_) server_.stop();
    } catch (const std::exception&) {  // a stop the case made already
    }
  });
  if (!waitReturned(20s)) abandon("the server does not stop");
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
