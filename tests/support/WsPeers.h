// WebSocket test helpers: a SyslogServer on a thread of its own, with the TLS
// context of the test certificate, and the python peer (ws_peer.py).
#ifndef NORV_TESTS_SUPPORT_WSPEERS_H
#define NORV_TESTS_SUPPORT_WSPEERS_H

#include <atomic>
#include <chrono>
#include <exception>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/TestSupport.h"
#include "websocket/SyslogServer.h"

namespace testsupport {

// A fresh context of suiteCert() on each call: the server releases it.
std::shared_ptr<boost::asio::ssl::context> serverTlsContext(int, std::weak_ptr<void>);

// Runs server.run() on a thread; the constructor returns once the server
// listens or run() has ended. The destructor stops a server still running
// (its exception ignored; in 20 s, or the program ends) and joins the thread.
class ServerThread {
 public:
  explicit ServerThread(SyslogServer& server);
  ~ServerThread();
  int port() const { return port_; }
  bool waitReturned(std::chrono::milliseconds timeout);
  std::exception_ptr error() const { return error_; }

 private:
  SyslogServer& server_;
  int port_ = 0;
  std::atomic<bool> returned_{false};
  std::exception_ptr error_;
  std::thread thread_;
};

std::string wssUri(int port);
// The python peer's command line for the given arguments.
std::vector<std::string> wsPeerArgv(const std::vector<std::string>& args);

}  // namespace testsupport

#endif
