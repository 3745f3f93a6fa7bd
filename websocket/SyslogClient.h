// SyslogClient: the sending end of the notification channel. It opens one
// secure WebSocket connection (TLS 1.2 only, receiver certificate not
// verified unless a CA file is set) to a receiver URI, runs it on an I/O
// thread of its own, and sends every string it is given as one text message.
// It never reconnects by itself; it closes the connection (1001 "plop") as
// soon as the receiver sends anything; and once an open connection closes it
// ends the whole process with status 1 (unless it is resumable, see
// setResumable).
//
// Acknowledgement: every kAckInterval bytes send() queues a ping carrying the
// number of messages sent so far; the receiver answers it (the pong echoes
// that number) only once it has handed on every message before it, so the
// number in the last pong is exact end-to-end progress. Messages, not bytes,
// are counted so that an empty message is acknowledged like any other.
// getBufferedAmount() is what was sent and not yet acknowledged. An open
// connection on which nothing went out for kKeepAlive gets a ping too, so
// that a receiver which ends idle connections keeps this one.
//
// Threads: connect() starts `ioThread`; every on_* handler runs there.
// send(), requestAck(), the getters and waitSent() may be called from any
// thread. They frame a message there but never touch the connection: frames
// and pings wait in `outgoing`, in order, and the I/O thread hands them to
// the connection (flushOutgoing), because websocketpp's connection may only
// be used on its own thread while it can end (see WsppInternals.h).
// `sendMutex` keeps senders (frames and their pings) in order and guards
// `outgoing`; `flowMutex` guards the connection handle, the state and the
// byte counts, and `flowChanged` is broadcast whenever the state or the
// acknowledged count changes (a byte is then also written to the wake
// descriptor, if set).
// Lock order: sendMutex before flowMutex. Of the handlers, on_open, the
// keep-alive tick and the flush take sendMutex (then flowMutex); the others
// take flowMutex only. No thread waits for the I/O thread while it holds
// either.
// The time points are written and read on the I/O thread only (startTime by
// connect(), before it starts that thread or posts the attempt to it).
// Output: the handlers' lines and the library's access log (std::cout) and
// error log (std::cerr) are written whole while holding the output mutex.
#ifndef NORV_WEBSOCKET_SYSLOGCLIENT_H
#define NORV_WEBSOCKET_SYSLOGCLIENT_H

#include <pthread.h>

#include <atomic>
#include <boost/asio/ssl/context.hpp>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>
#include <websocketpp/client.hpp>
#include <websocketpp/config/asio_client.hpp>

#include "base/CondVar.h"
#include "base/Mutex.h"
#include "base/ThreadAnnotations.h"
#include "base/TraceHook.h"
#include "websocket/LineLockedStreamBuf.h"

class SyslogClient {
 public:
  typedef websocketpp::client<websocketpp::config::asio_tls_client> client_type;

  // Where the connection stands. Idle: connect() not called, or it could not
  // even start; Connecting: attempt under way; Open: on_open ran; Failed:
  // on_fail ran (no retry follows); Closed: the open connection closed.
  enum class State { Idle, Connecting, Open, Failed, Closed };

  SyslogClient();
  explicit SyslogClient(std::string uri);
  // Leaves perpetual mode and joins the I/O thread; does not close an open
  // connection, so with one open it waits until that connection ends.
  virtual ~SyslogClient();
  SyslogClient(const SyslogClient&) = delete;
  SyslogClient& operator=(const SyslogClient&) = delete;

  void setDefaultSetting();
  // Starts the attempt and the I/O thread and returns at once. A connection
  // that cannot even be created is reported on std::cout, not thrown.
  void connect();
  // Queues `message` as one text frame; throws websocketpp::exception
  // ("Bad Connection" before on_open or after a failed attempt), except
  // that a resumable client keeps what a lost connection refuses.
  void send(std::string message);
  void send(const char* data, std::size_t size);

  // Tracing on with `f`; a null `f` turns it off again.
  void setDebugFunction(void (*f)(std::string));
  void Trace(std::string message);

  // Resumable (off by default; set before connect()): the client keeps a copy
  // of every message until the receiver acknowledges it, an open connection
  // that closes does not end the process (the state becomes Closed), and
  // connect() may be called again once the state is Failed or Closed. The
  // new connection sends again, in order, every message not acknowledged
  // before, and only then becomes Open: delivery is at least once.
  void setResumable(bool resumable);

  State getState() const;
  // Payload bytes handed to send() that the receiver has not yet been seen
  // to read, whatever the state.
  std::size_t getBufferedAmount() const;
  // Messages handed to send() that the receiver has not yet been seen to read.
  std::size_t getUnacknowledgedMessages() const;
  // How the last connection ended or failed, e.g. "code 1006, reason '',
  // websocketpp.transport:2 - Underlying Transport Error"; empty before.
  std::string getLastClose() const;
  // Payload bytes the receiver has acknowledged since the client was made.
  std::uint64_t getAcknowledgedBytes() const;
  // Messages handed to send() since the client was made: the n-th message
  // sent is acknowledged once getAcknowledgedMessages() >= n.
  std::uint64_t getSentMessages() const;
  std::uint64_t getAcknowledgedMessages() const;
  // Asks the receiver to acknowledge everything sent so far, unless that is
  // acknowledged or asked for already: a tail shorter than kAckInterval gets
  // no ping of its own otherwise.
  void requestAck();
  // Between holdWrites() and releaseWrites() what is sent waits in this
  // object and reaches the I/O thread at releaseWrites(), so that it goes out
  // in one write instead of a write each. For a thread other than the I/O
  // one, which must release what it holds (nothing else does).
  void holdWrites();
  void releaseWrites();
  // Waits until the receiver has read everything sent so far, the connection
  // is no longer open, or the time is up. True when everything was
  // acknowledged.
  bool waitSent(std::chrono::milliseconds timeout);
  // Waits until the state is no longer `state` or the time is up; returns
  // the state then.
  State waitWhile(State state, std::chrono::milliseconds timeout);
  // A descriptor (a pipe's write end, say) that gets one byte whenever the
  // state or the acknowledged count changes, so that a thread waiting in
  // poll() wakes up. -1 (the default): none. Set before connect().
  void setWakeFd(int fd);
  // The mutex held while a whole output line is written (handlers, library
  // logs). Set it before connect(); default: one mutex shared by all clients.
  // With flushEachLine false the lines are written to std::cout unflushed:
  // its owner flushes it (as the daemon's log buffer is).
  void setOutputMutex(pthread_mutex_t* m, bool flushEachLine = true);

  // Verification of the receiver, off by default (any certificate is
  // accepted). With a CA file, the receiver's chain must lead to one of its
  // certificates and the certificate must name the URI's host; a failure is
  // an on_fail report. Set before connect().
  void setCaFile(std::string caFile);
  // The certificate (PEM chain) and key this client presents (mutual TLS).
  void setClientCertificate(std::string certFile, std::string keyFile);

  void on_socket_init(websocketpp::connection_hdl hdl);
  std::shared_ptr<boost::asio::ssl::context> on_tls_init(websocketpp::connection_hdl hdl);
  void on_open(websocketpp::connection_hdl hdl);
  void on_message(websocketpp::connection_hdl hdl, client_type::message_ptr msg);
  void on_close(websocketpp::connection_hdl hdl);
  void on_fail(websocketpp::connection_hdl hdl);
  void on_pong(websocketpp::connection_hdl hdl, std::string payload);

  static constexpr std::uint64_t kAckInterval = 64 * 1024;
  static constexpr std::chrono::seconds kKeepAlive{30};

 private:
  // Frames (or, with no frame, pings carrying `ping`) for the I/O thread,
  // each with the connection it was made for.
  struct Outgoing {
    client_type::connection_ptr con;
    client_type::message_ptr frame;
    std::string ping;
  };

  void print(const std::string& lines);
  // Applies the verification and client-certificate options; returns what
  // went wrong, or an empty text.
  std::string applyTlsOptions(boost::asio::ssl::context& context) const;
  websocketpp::connection_hdl currentHandle() const;
  // Queues `message` as one text frame of the connection of `hdl`, masked
  // here (see prepareText); bad_connection when that connection is gone.
  websocketpp::lib::error_code queueFrame(const websocketpp::connection_hdl& hdl,
                                          const char* data, std::size_t size)
      NORV_REQUIRES(sendMutex);
  // Queues a ping whose payload is `messages`, the number sent so far, and
  // has it flushed.
  void askAck(const websocketpp::connection_hdl& hdl, std::uint64_t messages, std::uint64_t bytes)
      NORV_REQUIRES(sendMutex);
  // Has the I/O thread flush `outgoing`, unless writes are held or a flush
  // is already on its way.
  void postFlush() NORV_REQUIRES(sendMutex);
  // I/O thread: hands what waits in `outgoing` to its connections, in order.
  // A connection that is gone refuses its part: its close handler follows,
  // and a resumable client sends those messages again on the next one.
  void flushOutgoing() NORV_EXCLUDES(sendMutex);
  std::vector<Outgoing> takeOutgoing() NORV_REQUIRES(sendMutex);
  void hand(const std::vector<Outgoing>& batch);
  // I/O thread: makes and starts the connection connect() asked for.
  void startConnection();
  // The keep-alive timer of the open connection (I/O thread only): a tick
  // that finds no frame queued since the last one sends a ping.
  void keepAlive(websocketpp::connection_hdl hdl, const websocketpp::lib::error_code& ec);
  void scheduleKeepAlive(websocketpp::connection_hdl hdl);
  void cancelKeepAlive();
  // Publishes a change of state or acknowledged count to waiters.
  void changed() NORV_REQUIRES(flowMutex);
  void setState(State s);
  // Notes how the connection of `hdl` ended; returns the close report line.
  std::string recordEnd(websocketpp::connection_hdl hdl);

  client_type wsClient;
  websocketpp::connection_hdl connectionHandle NORV_GUARDED_BY(flowMutex);
  std::chrono::system_clock::time_point startTime;
  std::chrono::system_clock::time_point socketInitTime;
  std::chrono::system_clock::time_point tlsInitTime;
  std::chrono::system_clock::time_point openTime;
  std::chrono::system_clock::time_point messageTime;
  std::chrono::system_clock::time_point closeTime;
  std::shared_ptr<std::thread> ioThread;
  std::string uri;
  // TLS options, set before connect() and read by on_tls_init.
  std::string caFile;
  std::string clientCertFile;
  std::string clientKeyFile;
  norv::TraceHook trace;

  norv::Mutex sendMutex;
  // The message count the last ping asked about, and the bytes sent then.
  std::uint64_t lastAckRequest NORV_GUARDED_BY(sendMutex);
  std::uint64_t lastAckBytes NORV_GUARDED_BY(sendMutex);
  // Frames and pings queued so far; the keep-alive timer compares it with
  // what it saw at its last tick.
  std::uint64_t framesQueued NORV_GUARDED_BY(sendMutex);
  std::uint64_t framesAtLastTick NORV_GUARDED_BY(sendMutex);
  client_type::timer_ptr keepAliveTimer;  // I/O thread only
  // Masking keys for the frames, taken in bulk from the system's random source.
  unsigned char maskKeys[4096] NORV_GUARDED_BY(sendMutex);
  std::size_t maskKeysUsed NORV_GUARDED_BY(sendMutex);
  std::vector<Outgoing> outgoing NORV_GUARDED_BY(sendMutex);
  bool flushPosted NORV_GUARDED_BY(sendMutex);  // a flush is on its way to the I/O thread
  bool writesHeld NORV_GUARDED_BY(sendMutex);   // between holdWrites() and releaseWrites()
  mutable norv::Mutex flowMutex;
  norv::CondVar flowChanged;
  State state NORV_GUARDED_BY(flowMutex);
  std::uint64_t bytesSent NORV_GUARDED_BY(flowMutex);
  std::uint64_t bytesAcked NORV_GUARDED_BY(flowMutex);
  std::uint64_t messagesSent NORV_GUARDED_BY(flowMutex);
  std::uint64_t messagesAcked NORV_GUARDED_BY(flowMutex);
  // One entry per message sent and not acknowledged, oldest first: the byte
  // count sent up to its end, and (resumable only) the message itself.
  struct Sent {
    std::uint64_t end;
    std::string message;
  };
  std::deque<Sent> unacknowledged NORV_GUARDED_BY(flowMutex);
  std::string lastClose NORV_GUARDED_BY(flowMutex);
  bool resumable;
  int wakeFd;
  std::atomic<pthread_mutex_t*> outputMutex;
  std::atomic<bool> flushEachLine;
  norv::LineLockedStreamBuf accessLogBuf;
  norv::LineLockedStreamBuf errorLogBuf;
  std::ostream accessLogStream;
  std::ostream errorLogStream;
};

#endif
