// SyslogClient: the sending end of the notification channel. It opens one
// secure WebSocket connection (TLS 1.2 only, receiver certificate not
// verified) to a receiver URI, runs it on an I/O thread of its own, and sends
// every string it is given as one text message. It never reconnects; it
// closes the connection (1001 "plop") as soon as the receiver sends anything;
// and once an open connection closes it ends the whole process with status 1.
//
// Threads: connect() starts `ioThread`; every on_* handler runs there.
// send(), getState() and getBufferedAmount() may be called from any thread.
// `handleMutex` guards `connectionHandle` (written by on_open, read by send).
// The time points are written and read on the I/O thread only (startTime by
// connect() before that thread exists).
// Output: the handlers' lines and the library's access log (std::cout) and
// error log (std::cerr) are written whole while holding the output mutex.
// The object owns the endpoint, the I/O thread and the log buffers.
#ifndef NORV_WEBSOCKET_SYSLOGCLIENT_H
#define NORV_WEBSOCKET_SYSLOGCLIENT_H

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstddef>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>

#include <boost/asio/ssl/context.hpp>
#include <boost/asio/ssl/host_name_verification.hpp>
#include <websocketpp/client.hpp>
#include <websocketpp/config/asio_client.hpp>

#include "websocket/LineLockedStreamBuf.h"

class SyslogClient {
 public:
  typedef websocketpp::client<websocketpp::config::asio_tls_client> client_type;

  // Where the connection stands. Idle: connect() not called, or it could not
  // even start; Connecting: attempt under way; Open: on_open ran; Failed:
  // on_fail ran (no retry follows); Closed: the open connection closed (the
  // process is about to exit).
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
  // ("Bad Connection" before on_open or after a failed attempt).
  void send(std::string message);

  void setDebugFunction(void (*f)(std::string));
  void Trace(std::string message);

  State getState() const;
  // Payload bytes handed to send() that the receiver has not yet been seen
  // to read. Every kAckInterval bytes send() queues a ping carrying the
  // running byte count; the receiver's pong comes back only after it has read
  // every frame before it, so its count is exact end-to-end progress.
  std::size_t getBufferedAmount() const;
  // Waits until the receiver has read everything sent so far (one ping and
  // its pong), the connection is no longer open, or the time is up. True when
  // everything was acknowledged.
  bool waitSent(std::chrono::milliseconds timeout);
  // The mutex held while a whole output line is written (handlers, library
  // logs). Set it before connect(); default: one mutex shared by all clients.
  void setOutputMutex(pthread_mutex_t* m);

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

 private:
  void print(const std::string& lines);
  // Applies the verification and client-certificate options; returns what
  // went wrong, or an empty text.
  std::string applyTlsOptions(boost::asio::ssl::context& context) const;
  websocketpp::connection_hdl currentHandle() const;
  // Queues a ping whose payload is the byte count sent so far.
  void requestAck(const websocketpp::connection_hdl& hdl, std::uint64_t sent);

  client_type wsClient;
  websocketpp::connection_hdl connectionHandle;
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
  bool debugEnabled;
  void (*debugFunction)(std::string);

  mutable std::mutex handleMutex;
  // Flow accounting: bytesSent and lastAckRequest are advanced by the
  // sending thread under sendMutex; bytesAcked by on_pong on the I/O thread.
  std::mutex sendMutex;
  std::atomic<std::uint64_t> bytesSent;
  std::uint64_t lastAckRequest;
  std::atomic<std::uint64_t> bytesAcked;
  std::mutex ackMutex;
  std::condition_variable ackChanged;
  std::atomic<State> state;
  std::atomic<pthread_mutex_t*> outputMutex;
  LineLockedStreamBuf accessLogBuf;
  LineLockedStreamBuf errorLogBuf;
  std::ostream accessLogStream;
  std::ostream errorLogStream;
};

#endif
