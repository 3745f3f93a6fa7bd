#include "websocket/SyslogClient.h"

#include <openssl/ssl.h>
#include <sys/random.h>
#include <unistd.h>

#include <boost/asio/ssl/host_name_verification.hpp>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <vector>

#include "base/EndProcess.h"
#include "base/EscapeControls.h"
#include "base/MutexLock.h"
#include "base/Utf8.h"
#include "websocket/WsppInternals.h"

namespace {
// Output lock used until setOutputMutex names another one. Statically
// initialised and never destroyed, so it stays usable while the process ends.
pthread_mutex_t defaultOutputMutex = PTHREAD_MUTEX_INITIALIZER;

std::chrono::system_clock::time_point epoch() { return std::chrono::system_clock::time_point(); }

// A text the receiver chose (a close reason), fit for a line of the output.
std::string quoted(const std::string& text) {
  std::string out;
  norv::appendEscaped(out, text);
  return out;
}
}  // namespace

SyslogClient::SyslogClient() : SyslogClient(std::string()) {}

SyslogClient::SyslogClient(std::string uri)
    : connectionHandle(),
      startTime(epoch()),
      socketInitTime(epoch()),
      tlsInitTime(epoch()),
      openTime(epoch()),
      messageTime(epoch()),
      closeTime(epoch()),
      ioThread(),
      uri(std::move(uri)),
      lastAckRequest(0),
      lastAckBytes(0),
      framesQueued(0),
      framesAtLastTick(0),
      maskKeysUsed(sizeof maskKeys),
      flushPosted(false),
      writesHeld(false),
      state(State::Idle),
      bytesSent(0),
      bytesAcked(0),
      messagesSent(0),
      messagesAcked(0),
      resumable(false),
      wakeFd(-1),
      outputMutex(&defaultOutputMutex),
      flushEachLine(true),
      accessLogBuf(std::cout, &defaultOutputMutex, true),
      errorLogBuf(std::cerr, &defaultOutputMutex, true),
      accessLogStream(&accessLogBuf),
      errorLogStream(&errorLogBuf) {
  setDefaultSetting();
}

SyslogClient::~SyslogClient() {
  wsClient.stop_perpetual();
  if (ioThread && ioThread->joinable()) ioThread->join();
  // The log streams die before the endpoint; nothing may log into them then.
  wsClient.get_alog().set_ostream(&std::cout);
  wsClient.get_elog().set_ostream(&std::cerr);
}

void SyslogClient::setDefaultSetting() {
  trace.set(nullptr);
  wsClient.set_access_channels(websocketpp::log::alevel::all);
  wsClient.set_error_channels(websocketpp::log::elevel::all);
  wsClient.get_alog().set_ostream(&accessLogStream);
  wsClient.get_elog().set_ostream(&errorLogStream);
  wsClient.init_asio();
  wsClient.start_perpetual();
  using websocketpp::lib::placeholders::_1;
  using websocketpp::lib::placeholders::_2;
  // The TLS stream passed to the socket-init callback is dropped here.
  wsClient.set_socket_init_handler(websocketpp::lib::bind(&SyslogClient::on_socket_init, this, _1));
  wsClient.set_tls_init_handler(websocketpp::lib::bind(&SyslogClient::on_tls_init, this, _1));
  wsClient.set_message_handler(websocketpp::lib::bind(&SyslogClient::on_message, this, _1, _2));
  wsClient.set_open_handler(websocketpp::lib::bind(&SyslogClient::on_open, this, _1));
  wsClient.set_close_handler(websocketpp::lib::bind(&SyslogClient::on_close, this, _1));
  wsClient.set_fail_handler(websocketpp::lib::bind(&SyslogClient::on_fail, this, _1));
  wsClient.set_pong_handler(websocketpp::lib::bind(&SyslogClient::on_pong, this, _1, _2));
}

void SyslogClient::connect() {
  setState(State::Connecting);
  startTime = std::chrono::system_clock::now();
  if (ioThread) {  // a second attempt: the running loop starts it on its own thread
    boost::asio::post(wsClient.get_io_service(), [this] { startConnection(); });
    return;
  }
  startConnection();
  ioThread = std::make_shared<std::thread>([this] {
    try {
      wsClient.run();
    } catch (const std::exception& e) {
      print(std::string("websocket I/O loop ended: ") + e.what() + "\n");
    }
  });
}

void SyslogClient::startConnection() {
  websocketpp::lib::error_code ec;
  client_type::connection_ptr con = wsClient.get_connection(uri, ec);
  if (ec) {
    print("could not create connection because: " + ec.message() + "\n");
    setState(State::Idle);
    return;
  }
  wsClient.connect(con);
}

websocketpp::connection_hdl SyslogClient::currentHandle() const {
  norv::MutexLock lock(flowMutex);
  return connectionHandle;
}

void SyslogClient::send(std::string message) { send(message.data(), message.size()); }

void SyslogClient::send(const char* data, std::size_t size) {
  // Checked here: the prepared frame skips the library's own check.
  if (!norv::isValidUtf8(data, size))
    throw websocketpp::exception(websocketpp::processor::error::make_error_code(
        websocketpp::processor::error::invalid_payload));
  norv::MutexLock lock(sendMutex);
  websocketpp::connection_hdl hdl;
  bool open;
  {
    norv::MutexLock flow(flowMutex);
    hdl = connectionHandle;
    open = state == State::Open;
  }
  websocketpp::lib::error_code ec = queueFrame(hdl, data, size);
  if (!ec && !open) ec = websocketpp::error::make_error_code(websocketpp::error::invalid_state);
  // A resumable client keeps a message the closing connection refused: it
  // goes out again with the rest on the next connection.
  if (ec && !resumable) throw websocketpp::exception(ec);
  std::uint64_t bytes, messages;
  {
    norv::MutexLock flow(flowMutex);
    bytes = bytesSent += size;
    messages = ++messagesSent;
    unacknowledged.push_back({bytes, resumable ? std::string(data, size) : std::string()});
  }
  if (ec) return;
  if (bytes - lastAckBytes >= kAckInterval) askAck(hdl, messages, bytes);
  postFlush();
}

websocketpp::lib::error_code SyslogClient::queueFrame(const websocketpp::connection_hdl& hdl,
                                                      const char* data, std::size_t size) {
  websocketpp::lib::error_code ec;
  client_type::connection_ptr con = wsClient.get_con_from_hdl(hdl, ec);
  if (!con) return ec;
  if (maskKeysUsed + 4 > sizeof maskKeys) {
    // getrandom() does not fail for a request this small once the system's
    // pool is ready; a short read leaves older (still random) bytes behind.
    ssize_t ignored = ::getrandom(maskKeys, sizeof maskKeys, 0);
    (void)ignored;
    maskKeysUsed = 0;
  }
  const unsigned char* key = maskKeys + maskKeysUsed;
  maskKeysUsed += 4;
  outgoing.push_back({con, norv::wspp::prepareText(con, data, size, key), std::string()});
  ++framesQueued;
  return ec;
}

void SyslogClient::postFlush() {
  if (writesHeld || flushPosted || outgoing.empty()) return;
  flushPosted = true;
  boost::asio::post(wsClient.get_io_service(), [this] { flushOutgoing(); });
}

void SyslogClient::flushOutgoing() {
  std::vector<Outgoing> batch;
  {
    norv::MutexLock lock(sendMutex);
    batch = takeOutgoing();
  }
  hand(batch);
}

std::vector<SyslogClient::Outgoing> SyslogClient::takeOutgoing() {
  std::vector<Outgoing> batch;
  batch.swap(outgoing);
  flushPosted = false;
  return batch;
}

void SyslogClient::hand(const std::vector<Outgoing>& batch) {
  for (const Outgoing& item : batch) {
    websocketpp::lib::error_code ec;  // a connection on its way out: see the header
    if (item.frame)
      item.con->send(item.frame);
    else
      item.con->ping(item.ping, ec);
  }
}

void SyslogClient::holdWrites() {
  norv::MutexLock lock(sendMutex);
  writesHeld = true;
}

void SyslogClient::releaseWrites() {
  norv::MutexLock lock(sendMutex);
  writesHeld = false;
  postFlush();
}

void SyslogClient::askAck(const websocketpp::connection_hdl& hdl, std::uint64_t messages,
                          std::uint64_t bytes) {
  websocketpp::lib::error_code ec;  // a connection on its way out needs no ack
  client_type::connection_ptr con = wsClient.get_con_from_hdl(hdl, ec);
  if (!con) return;
  outgoing.push_back({con, nullptr, std::to_string(messages)});
  lastAckRequest = messages;
  lastAckBytes = bytes;
  ++framesQueued;
  postFlush();
}

void SyslogClient::requestAck() {
  norv::MutexLock lock(sendMutex);
  std::uint64_t messages, bytes;
  {
    norv::MutexLock flow(flowMutex);
    if (state != State::Open || messagesAcked >= messagesSent) return;
    messages = messagesSent;
    bytes = bytesSent;
  }
  if (lastAckRequest < messages) askAck(currentHandle(), messages, bytes);
}

void SyslogClient::keepAlive(websocketpp::connection_hdl hdl,
                             const websocketpp::lib::error_code& ec) {
  if (ec) return;  // cancelled: the connection ended
  {
    norv::MutexLock lock(sendMutex);
    if (framesQueued == framesAtLastTick) {
      std::uint64_t messages, bytes;
      {
        norv::MutexLock flow(flowMutex);
        messages = messagesSent;
        bytes = bytesSent;
      }
      askAck(hdl, messages, bytes);
    }
    framesAtLastTick = framesQueued;
  }
  scheduleKeepAlive(hdl);
}

void SyslogClient::scheduleKeepAlive(websocketpp::connection_hdl hdl) {
  keepAliveTimer =
      wsClient.set_timer(std::chrono::duration_cast<std::chrono::milliseconds>(kKeepAlive).count(),
                         [this, hdl](const websocketpp::lib::error_code& e) { keepAlive(hdl, e); });
}

void SyslogClient::cancelKeepAlive() {
  if (keepAliveTimer) keepAliveTimer->cancel();
  keepAliveTimer.reset();
}

void SyslogClient::on_pong(websocketpp::connection_hdl, std::string payload) {
  const std::uint64_t acked = std::strtoull(payload.c_str(), nullptr, 10);
  norv::MutexLock lock(flowMutex);
  if (acked <= messagesAcked || acked > messagesSent) return;  // nothing new, or not ours
  // The entries are the messages after messagesAcked, in order.
  for (; messagesAcked < acked; ++messagesAcked) {
    bytesAcked = unacknowledged.front().end;
    unacknowledged.pop_front();
  }
  changed();
}

void SyslogClient::changed() {
  flowChanged.broadcast();
  if (wakeFd >= 0) {
    ssize_t ignored = ::write(wakeFd, "", 1);  // a full pipe is awake already
    (void)ignored;
  }
}

void SyslogClient::setState(State s) {
  norv::MutexLock lock(flowMutex);
  state = s;
  changed();
}

bool SyslogClient::waitSent(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::uint64_t target, bytes;
  {
    norv::MutexLock lock(sendMutex);
    {
      norv::MutexLock flow(flowMutex);
      target = messagesSent;
      bytes = bytesSent;
      if (messagesAcked >= target) return true;
    }
    if (lastAckRequest < target) askAck(currentHandle(), target, bytes);
  }
  norv::MutexLock lock(flowMutex);
  flowChanged.waitUntil(flowMutex, deadline, [&]() NORV_REQUIRES(flowMutex) {
    return messagesAcked >= target || state != State::Open;
  });
  return messagesAcked >= target;
}

SyslogClient::State SyslogClient::waitWhile(State s, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  norv::MutexLock lock(flowMutex);
  flowChanged.waitUntil(flowMutex, deadline, [&]() NORV_REQUIRES(flowMutex) { return state != s; });
  return state;
}

void SyslogClient::setDebugFunction(void (*f)(std::string)) { trace.set(f); }

void SyslogClient::Trace(std::string message) { trace(std::move(message)); }

SyslogClient::State SyslogClient::getState() const {
  norv::MutexLock lock(flowMutex);
  return state;
}

std::size_t SyslogClient::getBufferedAmount() const {
  norv::MutexLock lock(flowMutex);
  return static_cast<std::size_t>(bytesSent - bytesAcked);
}

std::size_t SyslogClient::getUnacknowledgedMessages() const {
  norv::MutexLock lock(flowMutex);
  return unacknowledged.size();
}

std::string SyslogClient::getLastClose() const {
  norv::MutexLock lock(flowMutex);
  return lastClose;
}

void SyslogClient::setResumable(bool r) { resumable = r; }

std::uint64_t SyslogClient::getAcknowledgedBytes() const {
  norv::MutexLock lock(flowMutex);
  return bytesAcked;
}

std::uint64_t SyslogClient::getSentMessages() const {
  norv::MutexLock lock(flowMutex);
  return messagesSent;
}

std::uint64_t SyslogClient::getAcknowledgedMessages() const {
  norv::MutexLock lock(flowMutex);
  return messagesAcked;
}

void SyslogClient::setWakeFd(int fd) { wakeFd = fd; }

void SyslogClient::setOutputMutex(pthread_mutex_t* m, bool flush) {
  if (!m) m = &defaultOutputMutex;
  outputMutex = m;
  flushEachLine = flush;
  accessLogBuf.setMutex(m, flush);
  errorLogBuf.setMutex(m, flush);
}

void SyslogClient::print(const std::string& lines) {
  norv::LineLockedStreamBuf::writeLocked(std::cout, outputMutex.load(), lines,
                                         flushEachLine.load());
}

void SyslogClient::on_socket_init(websocketpp::connection_hdl) {
  socketInitTime = std::chrono::system_clock::now();
}

std::shared_ptr<boost::asio::ssl::context> SyslogClient::on_tls_init(websocketpp::connection_hdl) {
  print("INIT SSL\n");
  tlsInitTime = std::chrono::system_clock::now();
  auto context = std::make_shared<boost::asio::ssl::context>(boost::asio::ssl::context::tlsv12);
  // Pinned here as well: the method name alone does not bound the version on
  // every Boost/OpenSSL pairing.
  SSL_CTX_set_min_proto_version(context->native_handle(), TLS1_2_VERSION);
  SSL_CTX_set_max_proto_version(context->native_handle(), TLS1_2_VERSION);
  std::string problem = applyTlsOptions(*context);
  print("END SSL\n");
  if (!problem.empty()) {
    // No context: the library fails the attempt, which on_fail reports.
    print("TLS setup failed: " + problem + "\n");
    return nullptr;
  }
  return context;
}

void SyslogClient::setCaFile(std::string file) { caFile = std::move(file); }

void SyslogClient::setClientCertificate(std::string certFile, std::string keyFile) {
  clientCertFile = std::move(certFile);
  clientKeyFile = std::move(keyFile);
}

std::string SyslogClient::applyTlsOptions(boost::asio::ssl::context& context) const {
  namespace ssl = boost::asio::ssl;
  boost::system::error_code ec;
  if (!caFile.empty()) {
    if (context.load_verify_file(caFile, ec)) return "CA file " + caFile + ": " + ec.message();
    context.set_verify_mode(ssl::verify_peer, ec);
    context.set_verify_callback(ssl::host_name_verification(websocketpp::uri(uri).get_host()), ec);
  }
  if (!clientCertFile.empty() && !clientKeyFile.empty()) {
    if (context.use_certificate_chain_file(clientCertFile, ec))
      return "certificate file " + clientCertFile + ": " + ec.message();
    if (context.use_private_key_file(clientKeyFile, ssl::context::pem, ec))
      return "key file " + clientKeyFile + ": " + ec.message();
  }
  return "";
}

void SyslogClient::on_open(websocketpp::connection_hdl hdl) {
  openTime = std::chrono::system_clock::now();
  // Each write goes out at once. Otherwise a lone small message waits until
  // the receiver acknowledges the previous segment, which a delayed ACK holds
  // back for up to 40 ms (Nagle's algorithm). Failing to set it only costs
  // latency.
  websocketpp::lib::error_code ec;
  if (client_type::connection_ptr con = wsClient.get_con_from_hdl(hdl, ec)) {
    boost::system::error_code ignored;
    con->get_socket().lowest_layer().set_option(boost::asio::ip::tcp::no_delay(true), ignored);
  }
  // What the last connection left unacknowledged goes first, in order; no
  // sender gets in between (sendMutex) and none starts before it is Open.
  // Whatever still waits for the old connection is refused by it.
  std::vector<Outgoing> batch;
  {
    norv::MutexLock sending(sendMutex);
    std::vector<std::string> again;
    std::uint64_t messages, bytes;
    {
      norv::MutexLock lock(flowMutex);
      connectionHandle = hdl;
      for (const Sent& s : unacknowledged) again.push_back(s.message);
      messages = messagesSent;
      bytes = bytesSent;
    }
    for (const std::string& message : again)
      if (queueFrame(hdl, message.data(), message.size())) break;  // gone again
    if (!again.empty()) askAck(hdl, messages, bytes);
    framesAtLastTick = framesQueued;
    batch = takeOutgoing();
    scheduleKeepAlive(hdl);
    print("HEELO\n");
    setState(State::Open);
  }
  hand(batch);  // before anything sent once the lock is let go: this handler runs first
}

void SyslogClient::on_message(websocketpp::connection_hdl hdl, client_type::message_ptr) {
  messageTime = std::chrono::system_clock::now();
  websocketpp::lib::error_code ec;  // a close already under way is not an error here
  wsClient.close(hdl, websocketpp::close::status::going_away, "plop", ec);
}

std::string SyslogClient::recordEnd(websocketpp::connection_hdl hdl) {
  std::ostringstream text;
  websocketpp::lib::error_code ec;
  if (client_type::connection_ptr con = wsClient.get_con_from_hdl(hdl, ec)) {
    text << "code " << con->get_remote_close_code() << ", reason '"
         << quoted(con->get_remote_close_reason()) << "', " << con->get_ec() << " - "
         << con->get_ec().message();
  }
  norv::MutexLock lock(flowMutex);
  lastClose = text.str();
  return lastClose;
}

void SyslogClient::on_close(websocketpp::connection_hdl hdl) {
  closeTime = std::chrono::system_clock::now();
  cancelKeepAlive();
  auto micros = [this](std::chrono::system_clock::time_point t) {
    return static_cast<std::int32_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(t - startTime).count());
  };
  std::ostringstream out;
  websocketpp::lib::error_code ec;
  if (client_type::connection_ptr con = wsClient.get_con_from_hdl(hdl, ec)) {
    // Who closed and why, before the timings: 1006 with no reason means the
    // connection broke without a closing handshake.
    out << "Close code: " << con->get_remote_close_code()
        << " reason: " << quoted(con->get_remote_close_reason()) << " (local "
        << con->get_local_close_code() << " " << con->get_local_close_reason() << "; "
        << con->get_ec() << " - " << con->get_ec().message() << ")\n";
  }
  out << "Socket Init: " << micros(socketInitTime) << "\n"
      << "TLS Init: " << micros(tlsInitTime) << "\n"
      << "Open: " << micros(openTime) << "\n"
      << "Message: " << micros(messageTime) << "\n"
      << "Close: " << micros(closeTime) << "\n";
  recordEnd(hdl);
  if (resumable) {
    print(out.str());
    setState(State::Closed);
    return;
  }
  setState(State::Closed);
  norv::endProcess(outputMutex.load(), 1, out.str());
}

void SyslogClient::on_fail(websocketpp::connection_hdl hdl) {
  cancelKeepAlive();
  std::ostringstream out;
  out << "Fail handler\n";
  websocketpp::lib::error_code ec;
  client_type::connection_ptr con = wsClient.get_con_from_hdl(hdl, ec);
  if (con) {
    out << "state: " << static_cast<int>(con->get_state()) << "\n"
        << con->get_local_close_code() << "\n"
        << "close: " << con->get_local_close_reason() << "\n"
        << con->get_remote_close_code() << "\n"
        << "remoteclose: " << quoted(con->get_remote_close_reason()) << "\n"
        << con->get_ec() << " - " << con->get_ec().message() << "\n";
  }
  print(out.str());
  recordEnd(hdl);
  setState(State::Failed);
}
