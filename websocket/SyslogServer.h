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
// `connectionMutex` guards `connections`. Trace takes no lock: the trace callback must be thread-safe.
#ifndef NORV_WEBSOCKET_SYSLOGSERVER_H
#define NORV_WEBSOCKET_SYSLOGSERVER_H

#include <pthread.h>

#include <atomic>
#include <exception>
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

 private:
  // Stops listening and closes the connections; runs on a loop thread
  // whenever a loop runs (see stop()).
  void stopNow();
  // endpoint.run(), counted in loopThreads.
  void runLoop();

  server_type endpoint;
  std::set<std::weak_ptr<void>, std::owner_less<std::weak_ptr<void>>> connections;
  int port;
  int threadCount;
  bool debugEnabled;
  pthread_mutex_t connectionMutex;
  ssl_context_function sslContextFunction;
  void (*debugFunction)(std::string);
  ExecuteQueue<notification>* queue;
  void (*listeningFunction)(int);
  // Number of threads now inside the endpoint's I/O loop.
  std::atomic<int> loopThreads;
};

#endif
