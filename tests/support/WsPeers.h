// Helpers for the WebSocket tests: the TLS context factory handed to a
// SyslogServer, a SyslogServer running on a thread of its own, and the
// independent python peer (tests/support/ws_peer.py).
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

// The factory serves the context built from the last pair given here.
void useServerCert(const CertPair& pair);
std::shared_ptr<boost::asio::ssl::context> serverTlsContext(int, std::weak_ptr<void>);

// Runs server.run() on its own thread (factory and listening callback set
// here); the constructor returns once the server listens or run() has ended.
// The destructor stops a server still running and joins the thread.
class ServerThread {
 public:
  explicit ServerThread(SyslogServer& server);
  ~ServerThread();
  ServerThread(const ServerThread&) = delete;
  ServerThread& operator=(const ServerThread&) = delete;

  int port() const { return port_; }
  bool waitReturned(std::chrono::milliseconds timeout);
  bool returned() const { return returned_.load(); }
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
