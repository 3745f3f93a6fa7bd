// SyslogServer: the receiving end of the notification channel. A secure
// WebSocket server (IPv6 wildcard address, TLS context from the embedding
// program's factory) that turns every received message into a
// `notification` (sending host taken from the JSON member "fromhost", and the
// whole text) pushed onto the embedding program's ExecuteQueue.
//
// Limits, each with a setter to call before run(): a message larger than
// maxMessageSize is refused (close code 1009) and its connection ends, the
// server goes on; past maxConnections open connections a new one is closed
// at once; while the queue holds more than queueLimit bytes of notifications
// the server stops reading from the connections that deliver into it (TCP
// back-pressure towards the senders) until the consumer has taken half of it.
// An accept that fails (no descriptor left, say) is retried after a pause
// that doubles from 100 ms to 1 s and is reported at most once a second.
//
// Ownership: the server owns its endpoint (and the endpoint its I/O context);
// the queue belongs to the embedding program and must outlive the server.
// Threads: run() blocks its caller, which runs the I/O loop itself (one
// thread) or starts and joins `threadCount` loop threads; every on_* handler
// and the TLS factory run on those I/O threads, possibly at the same time.
// The accept loop and the stop work run in one strand (`acceptStrand`).
// stop() may be called from any thread.
#ifndef NORV_WEBSOCKET_SYSLOGSERVER_H
#define NORV_WEBSOCKET_SYSLOGSERVER_H

#include <atomic>
#include <boost/asio/io_context_strand.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <cstddef>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <websocketpp/config/asio.hpp>
#include <websocketpp/server.hpp>

#include "base/CondVar.h"
#include "base/Mutex.h"
#include "base/ThreadAnnotations.h"
#include "websocket/ExecuteQueue.h"
#include "websocket/LineLockedStreamBuf.h"

// One received message: the sending host and the message text, byte for byte.
struct notification {
  std::string host;
  std::string payload;
};

// The server's own failure; its only text is "bad listen".
class SyslogException : public std::runtime_error {
 public:
  explicit SyslogException(const std::string& message) : std::runtime_error(message) {}
};

class SyslogServer {
 public:
  typedef websocketpp::server<websocketpp::config::asio_tls> server_type;
  typedef std::shared_ptr<boost::asio::ssl::context> (*ssl_context_function)(int,
                                                                             std::weak_ptr<void>);
  typedef bool (*validate_function)(server_type&, std::weak_ptr<void>);

  static constexpr std::size_t kDefaultMaxMessageSize = 1u << 20;
  static constexpr int kDefaultMaxConnections = 1000;
  static constexpr std::size_t kDefaultQueueLimit = 64u << 20;

  // Only the low 16 bits of `port` are used; `threadCount` must not be
  // negative (0: run() returns once accepting has started).
  SyslogServer(int port, int threadCount, ExecuteQueue<notification>* queue);
  // Port 0 (any free port), one thread, no queue: messages are dropped.
  SyslogServer();
  virtual ~SyslogServer();
  SyslogServer(const SyslogServer&) = delete;
  SyslogServer& operator=(const SyslogServer&) = delete;

  void setDefaultSetting();
  // Tracing on with `f`; a null `f` turns it off again.
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
  // The limits described at the top; each takes effect at the next run()
  // (the message size for connections accepted after the call).
  void setMaxMessageSize(std::size_t bytes);
  void setMaxConnections(int count);
  // Bytes of queued notifications (host and text, plus 64 per element)
  // before reading stops; 0: no bound.
  void setQueueLimit(std::size_t bytes);

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
  static notification makeNotification(std::string payload);

 private:
  using Handles = std::set<std::weak_ptr<void>, std::owner_less<std::weak_ptr<void>>>;

  // Stops listening and closes the connections: in acceptStrand whenever a
  // loop runs (see stop()).
  void stopNow();
  // The accept loop, in acceptStrand: one accept at a time; a failure waits
  // `acceptPause` before the next attempt.
  void acceptNext();
  void accepted(const server_type::connection_ptr& con, const websocketpp::lib::error_code& ec);
  void acceptFailed(const std::string& what);
  // Writes an accept-loop event to the error log, at most once a second; the
  // events in between are counted in the next report.
  void reportAccept(websocketpp::log::level level, std::string text);
  // Reads again from every connection paused because the queue was full; the
  // queue calls it once the consumer has taken half of what it held.
  void resumePaused();
  // endpoint.run(), counted in loopThreads.
  void runLoop();

  server_type endpoint;
  // Guards connections, stopping and paused.
  norv::Mutex connectionMutex;
  Handles connections NORV_GUARDED_BY(connectionMutex);
  int port;
  int threadCount;
  std::atomic<bool> debugEnabled;
  // Set by stopNow, cleared when run() listens again: a connection whose
  // handshake was under way during the stop is closed as soon as it opens.
  bool stopping NORV_GUARDED_BY(connectionMutex);
  // Connections that stopped reading because the queue was over its limit.
  // Held strongly: with no read in flight nothing else keeps them alive.
  std::set<server_type::connection_ptr> paused NORV_GUARDED_BY(connectionMutex);
  ssl_context_function sslContextFunction;
  std::atomic<void (*)(std::string)> debugFunction;
  ExecuteQueue<notification>* queue;
  void (*listeningFunction)(int);
  std::size_t maxMessageSize;
  int maxConnections;
  std::size_t queueLimit;
  // Accepted connections whose socket is not shut down yet.
  std::atomic<int> openConnections;

  // Used in acceptStrand only.
  std::unique_ptr<boost::asio::io_context::strand> acceptStrand;
  std::unique_ptr<boost::asio::steady_timer> acceptTimer;
  bool acceptStopped;
  std::chrono::milliseconds acceptPause;
  std::chrono::steady_clock::time_point lastAcceptReport;
  long unreportedAcceptEvents;

  // Loop threads that run() started (or is about to) and that have not yet
  // returned from the endpoint's I/O loop; loopChanged is broadcast when one
  // returns or when posted stop work is done.
  norv::Mutex loopMutex;
  norv::CondVar loopChanged;
  int loopThreads NORV_GUARDED_BY(loopMutex);

  // The endpoint's error log, written whole entry by entry to std::cerr.
  norv::LineLockedStreamBuf errorLogBuf;
  std::ostream errorLogStream;
};

#endif
