// SyslogServer: the receiving end of the notification channel. A secure
// WebSocket server (IPv6 wildcard address, TLS context from the embedding
// program's factory) that turns every received message into a
// `notification` (sending host taken from the JSON member "fromhost", and the
// whole text) pushed onto the embedding program's ExecuteQueue.
//
// Limits, each with a setter to call before run(): a message larger than
// maxMessageSize is refused (close code 1009) and its connection ends, the
// server goes on; a connection takes one of maxConnections sender slots once
// its handshakes are done (past the limit its opening handshake is refused
// with 503); until then it is one of at most maxHandshakes pending
// handshakes, the oldest of which is dropped to make room for a new one, and
// it is dropped if its handshakes take longer than handshakeTimeout; an open
// connection that sends nothing (no message, no ping) for idleTimeout is
// closed (1001); one that does not read what the server sends it (pongs) so
// that more than kMaxOutgoing bytes wait for it is closed (1008); while the
// queue holds more than queueLimit bytes of notifications the server stops
// reading from the connections that deliver into it (TCP back-pressure
// towards the senders) until the consumer has taken half of it. An accept
// that fails (no descriptor left, say) is retried after a pause that doubles
// from 100 ms to 1 s and is reported at most once a second.
//
// Acknowledgements: a sender asks for one with a ping and the server answers
// with the pong. By default it answers as soon as every message before the
// ping is on the queue; with setAcknowledgeOnDelivery(true), only once the
// consumer has marked every message before it delivered
// (ExecuteQueue::markDelivered), so that a sender may forget what is
// acknowledged even if this process dies.
//
// Threads and ownership: the server owns one endpoint per loop thread (a
// shard), each with its own I/O context; a connection belongs to one shard
// and everything done with it (its TLS stream, its handlers, its timers)
// runs on that shard's one thread. Shard 0 listens and accepts (in
// `acceptStrand`) and deals the accepted connections out in turn. run()
// blocks its caller, which runs the only shard itself (one thread) or starts
// and joins `threadCount` loop threads; every on_* handler and the TLS
// factory run on those threads, possibly at the same time for different
// connections. stop() may be called from any thread. The queue belongs to the
// embedding program and must outlive the server.
#ifndef NORV_WEBSOCKET_SYSLOGSERVER_H
#define NORV_WEBSOCKET_SYSLOGSERVER_H

#include <atomic>
#include <boost/asio/io_context_strand.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>
#include <websocketpp/config/asio.hpp>
#include <websocketpp/server.hpp>

#include "base/CondVar.h"
#include "base/Mutex.h"
#include "base/ThreadAnnotations.h"
#include "base/TraceHook.h"
#include "websocket/ExecuteQueue.h"

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
  static constexpr int kDefaultMaxHandshakes = 128;
  static constexpr std::size_t kDefaultQueueLimit = 64u << 20;
  static constexpr std::chrono::milliseconds kDefaultHandshakeTimeout{10000};
  static constexpr std::chrono::milliseconds kDefaultIdleTimeout{300000};
  // Bytes that may wait to be sent to one connection.
  static constexpr std::size_t kMaxOutgoing = 1u << 20;

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
  // Called with the endpoint that owns the connection; true accepts its
  // opening handshake.
  void setValidateFunction(validate_function f);
  // Called once by run(), on its caller's thread, when the server listens and
  // accepts, with the port it listens on (the one the system chose for 0).
  void setListeningFunction(void (*f)(int port));
  void setResponse(int);
  void cleanOldTask();
  // The limits described at the top; each takes effect at the next run()
  // (the message size and the time-outs for connections accepted after the
  // call). A zero idle time-out never closes an idle connection.
  void setMaxMessageSize(std::size_t bytes);
  void setMaxConnections(int count);
  void setMaxHandshakes(int count);
  void setHandshakeTimeout(std::chrono::milliseconds timeout);
  void setIdleTimeout(std::chrono::milliseconds timeout);
  // Bytes of queued notifications (host and text, plus 64 per element)
  // before reading stops; 0: no bound.
  void setQueueLimit(std::size_t bytes);
  // See Acknowledgements at the top; off by default. Set it before run().
  void setAcknowledgeOnDelivery(bool onDelivery);

  // Listens and serves until the server has stopped and its last connection
  // has closed. Throws SyslogException("bad listen") when listening fails.
  void run();
  // Stops listening, drops the connections still in their handshakes and
  // asks every open connection to close (1000); one already closing is
  // skipped. Throws the endpoint's exception when not listening, or (when no
  // loop thread runs, after trying all) the first failure to close one.
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
  using connection_ptr = server_type::connection_ptr;
  struct Shard;
  struct Peer;
  using PeerPtr = std::shared_ptr<Peer>;

  // Stops listening and closes the connections: in acceptStrand whenever a
  // loop runs (see stop()).
  void stopNow();
  // The accept loop, in acceptStrand: one accept at a time, into a
  // connection of the next shard in turn; a failure waits `acceptPause`
  // before the next attempt.
  void acceptNext();
  void accepted(const connection_ptr& con, Shard& shard, const websocketpp::lib::error_code& ec);
  void acceptFailed(const std::string& what);
  // Writes an accept-loop event to the error log, at most once a second; the
  // events in between are counted in the next report.
  void reportAccept(websocketpp::log::level level, std::string text);

  // A connection's life, each on its shard's thread.
  void startPeer(const connection_ptr& con, const PeerPtr& peer);
  bool validatePeer(const PeerPtr& peer, std::weak_ptr<void> hdl);
  void peerOpened(const PeerPtr& peer, std::weak_ptr<void> hdl);
  void peerEnded(const PeerPtr& peer);
  void peerTimer(const PeerPtr& peer, const websocketpp::lib::error_code& ec);
  void armTimer(const PeerPtr& peer, std::chrono::milliseconds after);
  // A ping read: answered at once, or once what came before it is delivered.
  void pinged(const PeerPtr& peer, std::string payload);
  // Sends the pong for the newest waiting ping whose messages are delivered.
  void answerDelivered(const PeerPtr& peer, std::uint64_t delivered);
  void sendPong(const PeerPtr& peer, std::string payload);
  // Called by the queue (on the consumer's thread) when delivery advances.
  void delivered(std::uint64_t count);
  // Drops a pending handshake (posted to its connection's strand).
  static void dropHandshake(const PeerPtr& peer);
  // Takes `peer` off the pending handshakes; true if it was on them.
  bool leaveHandshakes(Peer& peer);

  // Reads again from every connection paused because the queue was full; the
  // queue calls it once the consumer has taken half of what it held.
  void resumePaused();
  // Runs shard i's I/O loop, counted in loopThreads.
  void runLoop(std::size_t i);
  // Some thread runs the loops now (so connection work must be posted).
  bool loopsRunning();

  std::vector<std::unique_ptr<Shard>> shards;
  // Guards connections, stopping and paused.
  norv::Mutex connectionMutex;
  Handles connections NORV_GUARDED_BY(connectionMutex);
  int port;
  int threadCount;
  // Set by stopNow, cleared when run() listens again: a connection whose
  // handshake was under way during the stop is closed as soon as it opens.
  bool stopping NORV_GUARDED_BY(connectionMutex);
  // Connections that stopped reading because the queue was over its limit.
  // Held strongly: with no read in flight nothing else keeps them alive.
  std::set<connection_ptr> paused NORV_GUARDED_BY(connectionMutex);
  ssl_context_function sslContextFunction;
  std::atomic<validate_function> validateFunction;
  norv::TraceHook trace;
  ExecuteQueue<notification>* queue;
  void (*listeningFunction)(int);
  std::size_t maxMessageSize;
  int maxConnections;
  int maxHandshakes;
  std::chrono::milliseconds handshakeTimeout;
  std::chrono::milliseconds idleTimeout;
  std::size_t queueLimit;
  bool acknowledgeOnDelivery;
  // Sender slots taken (connections past validation, not yet ended).
  std::atomic<int> sendersIn;

  // Connections accepted and not yet open or ended, oldest first.
  norv::Mutex handshakeMutex;
  std::list<PeerPtr> handshakes NORV_GUARDED_BY(handshakeMutex);

  // Used in acceptStrand only.
  std::unique_ptr<boost::asio::io_context::strand> acceptStrand;
  std::unique_ptr<boost::asio::steady_timer> acceptTimer;
  bool acceptStopped;
  std::size_t nextShard;
  std::chrono::milliseconds acceptPause;

  // reportAccept's pacing; it is called from every shard's thread.
  norv::Mutex reportMutex;
  std::chrono::steady_clock::time_point lastAcceptReport NORV_GUARDED_BY(reportMutex);
  long unreportedAcceptEvents NORV_GUARDED_BY(reportMutex);

  // Loop threads that run() started (or is about to) and that have not yet
  // returned from their I/O loop, and whether shard 0's (the accept loop's)
  // is among them; loopChanged is broadcast when one returns or when posted
  // stop work is done.
  norv::Mutex loopMutex;
  norv::CondVar loopChanged;
  int loopThreads NORV_GUARDED_BY(loopMutex);
  bool acceptLoop NORV_GUARDED_BY(loopMutex);
};

#endif
