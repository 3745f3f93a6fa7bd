// SyslogServer: the receiving end of the notification channel. A secure
// WebSocket server (IPv6 wildcard address, TLS context from the embedding
// program's factory) that turns every received message into a
// `notification` (sending host taken from the JSON member "fromhost", and the
// whole text) pushed onto the embedding program's ExecuteQueue.
//
// Ownership: the server owns its endpoint (and the endpoint its I/O context);
// the queue belongs to the embedding program and must outlive the server.
// Threads: run() blocks its caller, which runs the I/O loop itself (one
// thread) or starts and joins `threadCount` loop threads; every on_* handler
// and the TLS factory run on those I/O threads, possibly at the same time.
// stop() may be called from any thread; its work is done on a loop thread.
// `connectionMutex` guards `connections`, `stopping` and `pendingAccept`. Trace takes no lock: the trace callback must be thread-safe.
#ifndef NORV_WEBSOCKET_SYSLOGSERVER_H
#define NORV_WEBSOCKET_SYSLOGSERVER_H

#include <pthread.h>

#include <atomic>
#include <exception>
#include <functional>
#include <memory>
#include <set>
#include <string>

#include <boost/asio/ssl/context.hpp>
#include <websocketpp/config/asio.hpp>
#include <websocketpp/server.hpp>

#include "websocket/ExecuteQueue.h"

// One received message: the sending host and the message text, byte for byte.
struct notification {
  std::string host;
  std::string payload;
};

// The server's own failure; its only text is "bad listen".
class SyslogException : public std::exception {
 public:
  explicit SyslogException(std::string message) : message(std::move(message)) {}
  virtual ~SyslogException() {}
  const char* what() const noexcept override { return message.c_str(); }

 private:
  std::string message;
};

class SyslogServer {
 public:
  typedef websocketpp::server<websocketpp::config::asio_tls> server_type;
  typedef std::shared_ptr<boost::asio::ssl::context> (*ssl_context_function)(int,
                                                                             std::weak_ptr<void>);
  typedef bool (*validate_function)(server_type&, std::weak_ptr<void>);

  // Only the low 16 bits of `port` are used; `threadCount` must not be
  // negative (0: run() returns once accepting has started).
  SyslogServer(int port, int threadCount, ExecuteQueue<notification>* queue);
  // Port 0 (any free port), one thread, no queue: messages are dropped.
  SyslogServer();
  virtual ~SyslogServer();
  SyslogServer(const SyslogServer&) = delete;
  SyslogServer& operator=(const SyslogServer&) = delete;

  void setDefaultSetting();
  void setDebugFunction(void (*f)(std::string));
  void Trace(std::string text);
  // Read by run() only: set it before run().
  void setFunctionSSLContext(ssl_context_function f);
  void setValidateFunction(validate_function f);
  // Called once by run(), on its caller's thread, when the server listens and
  // accepts, with the port it listens on (the one the system chose for 0).
  void setListeningFunction(void (*f)(int port));
  void setResponse(int);
  void cleanOldTask();

  // Listens and serves until the server has stopped and its last connection
  // has closed. Throws SyslogException("bad listen") when listening fails.
  void run();
  // Stops listening and asks every open connection to close (1000); one
  // already closing is skipped. Throws the endpoint's exception when not
  // listening, or (after trying all) the first failure to close one.
  void stop();

  void on_open(std::weak_ptr<void> hdl);
  void on_close(std::weak_ptr<void> hdl);
  void on_message(std::weak_ptr<void> hdl, server_type::message_ptr msg);

  // What on_message queues for a received text: the host its JSON member
  // "fromhost" names ("daemonbadhost" when there is none or it cannot be
  // read) and the text itself. Any text is accepted; nothing is thrown.
  static notification makeNotification(const std::string& payload);

 private:
  // Stops listening and closes the connections; runs on a loop thread
  // whenever a loop runs (see stop()).
  void stopNow();
  // Runs `work` on a loop thread at a moment when websocketpp's accept loop
  // cannot run: in the strand of the connection created to wait for the next
  // accept (pendingAccept). The accept loop (handle_accept, then start_accept
  // and the next connection) runs in that strand and uses the acceptor
  // without a lock of its own, so stop_listening must not run beside it.
  void postToAcceptLoop(std::function<void()> work);
  // endpoint.run(); uncounts itself from loopThreads when it returns.
  void runLoop();

  server_type endpoint;
  std::set<std::weak_ptr<void>, std::owner_less<std::weak_ptr<void>>> connections;
  int port;
  int threadCount;
  bool debugEnabled;
  pthread_mutex_t connectionMutex;
  // Set by stopNow, cleared when run() listens again: a connection whose
  // handshake was under way during the stop is closed as soon as it opens.
  bool stopping;
  ssl_context_function sslContextFunction;
  void (*debugFunction)(std::string);
  ExecuteQueue<notification>* queue;
  void (*listeningFunction)(int);
  // Loop threads that run() started (or is about to) and that have not yet
  // returned from the endpoint's I/O loop.
  std::atomic<int> loopThreads;
  // The connection waiting for the next accept; guarded by connectionMutex.
  std::weak_ptr<void> pendingAccept;
};

#endif
