#include "websocket/SyslogServer.h"

#include <boost/asio/post.hpp>
#include <cstdint>
#include <exception>
#include <iostream>
#include <thread>
#include <utility>
#include <vector>

#include "base/MutexLock.h"
#include "websocket/HostLookup.h"
#include "websocket/WsppInternals.h"

namespace {

// Error-log entries of every server go out whole, one at a time.
pthread_mutex_t errorLogMutex = PTHREAD_MUTEX_INITIALIZER;

constexpr std::chrono::milliseconds kFirstAcceptPause{100};
constexpr std::chrono::milliseconds kLongestAcceptPause{1000};

// What one queued notification counts against the queue's limit: its bytes,
// and something for the element itself so that empty messages count too.
std::size_t queuedBytes(const notification& n) { return n.host.size() + n.payload.size() + 64; }

}  // namespace

SyslogServer::SyslogServer(int port, int threadCount, ExecuteQueue<notification>* queue)
    : port(port),
      threadCount(threadCount),
      debugEnabled(false),
      stopping(false),
      sslContextFunction(nullptr),
      debugFunction(nullptr),
      queue(queue),
      listeningFunction(nullptr),
      maxMessageSize(kDefaultMaxMessageSize),
      maxConnections(kDefaultMaxConnections),
      queueLimit(kDefaultQueueLimit),
      openConnections(0),
      acceptStopped(true),
      acceptPause(0),
      unreportedAcceptEvents(0),
      loopThreads(0),
      errorLogBuf(std::cerr, &errorLogMutex),
      errorLogStream(&errorLogBuf) {
  setDefaultSetting();
}

SyslogServer::SyslogServer() : SyslogServer(0, 1, nullptr) {}

SyslogServer::~SyslogServer() {
  // The queue outlives the server: it must not call back into it.
  if (queue) queue->setLimit(0, nullptr, nullptr);
  // The log stream dies before the endpoint; nothing may log into it then.
  endpoint.get_elog().set_ostream(&std::cerr);
}

void SyslogServer::setDefaultSetting() {
  debugEnabled = false;
  endpoint.clear_access_channels(websocketpp::log::alevel::all);
  endpoint.get_elog().set_ostream(&errorLogStream);
  endpoint.init_asio();
  endpoint.set_reuse_addr(true);
  endpoint.set_max_message_size(maxMessageSize);
  using websocketpp::lib::placeholders::_1;
  using websocketpp::lib::placeholders::_2;
  endpoint.set_open_handler(websocketpp::lib::bind(&SyslogServer::on_open, this, _1));
  endpoint.set_close_handler(websocketpp::lib::bind(&SyslogServer::on_close, this, _1));
  endpoint.set_message_handler(websocketpp::lib::bind(&SyslogServer::on_message, this, _1, _2));
}

void SyslogServer::setDebugFunction(void (*f)(std::string)) {
  debugFunction = f;
  debugEnabled = f != nullptr;
}

void SyslogServer::Trace(std::string text) {
  if (!debugEnabled.load(std::memory_order_relaxed)) return;
  if (void (*f)(std::string) = debugFunction.load()) f(std::move(text));
}

void SyslogServer::setFunctionSSLContext(ssl_context_function f) { sslContextFunction = f; }

void SyslogServer::setValidateFunction(validate_function f) {
  endpoint.set_validate_handler(
      [this, f](websocketpp::connection_hdl hdl) { return f(endpoint, hdl); });
}

void SyslogServer::setListeningFunction(void (*f)(int)) { listeningFunction = f; }

void SyslogServer::setResponse(int) {}

void SyslogServer::cleanOldTask() {}

void SyslogServer::setMaxMessageSize(std::size_t bytes) {
  maxMessageSize = bytes;
  endpoint.set_max_message_size(bytes);
}

void SyslogServer::setMaxConnections(int count) { maxConnections = count; }

void SyslogServer::setQueueLimit(std::size_t bytes) { queueLimit = bytes; }

void SyslogServer::run() {
  ssl_context_function factory = sslContextFunction;
  endpoint.set_tls_init_handler(
      [factory](websocketpp::connection_hdl hdl) -> std::shared_ptr<boost::asio::ssl::context> {
        // No context (or a failing factory): the connection object cannot be
        // made; the accept loop reports it and tries again later.
        if (!factory) return nullptr;
        try {
          return factory(1, hdl);
        } catch (const std::exception&) {
          return nullptr;
        }
      });

  websocketpp::lib::error_code ec;
  endpoint.listen(boost::asio::ip::tcp::v6(), static_cast<std::uint16_t>(port), ec);
  if (ec) {
    Trace("THREAD Syslog#error listen");
    throw SyslogException("bad listen");
  }
  {
    norv::MutexLock lock(connectionMutex);
    stopping = false;
    paused.clear();
  }
  if (queue) {
    queue->setLimit(queueLimit, queuedBytes, [this] { resumePaused(); });
  }
  if (!acceptStrand) {
    acceptStrand = std::make_unique<boost::asio::io_context::strand>(endpoint.get_io_service());
    acceptTimer = std::make_unique<boost::asio::steady_timer>(endpoint.get_io_service());
  }
  acceptStopped = false;
  acceptPause = std::chrono::milliseconds(0);
  if (threadCount > 0) {
    if (endpoint.stopped()) endpoint.reset();  // a loop that ran out before must be rearmed
    // Counted before the caller can learn the port, so that a stop() from
    // then on knows that loop threads are coming; each uncounts itself.
    norv::MutexLock lock(loopMutex);
    loopThreads += threadCount;
  }
  boost::asio::post(*acceptStrand, [this] { acceptNext(); });
  if (listeningFunction) {
    boost::system::error_code localEc;
    int actual = endpoint.get_local_endpoint(localEc).port();
    listeningFunction(localEc ? static_cast<std::uint16_t>(port) : actual);
  }

  if (threadCount == 0) return;
  if (threadCount == 1) {
    runLoop();
    return;
  }
  std::vector<std::thread> threads;
  std::exception_ptr firstError;
  norv::Mutex errorMutex;
  for (int i = 0; i < threadCount; ++i) {
    threads.emplace_back([this, &firstError, &errorMutex] {
      try {
        runLoop();
      } catch (...) {
        norv::MutexLock lock(errorMutex);
        if (!firstError) firstError = std::current_exception();
      }
    });
  }
  for (auto& t : threads) t.join();
  if (firstError) std::rethrow_exception(firstError);
}

void SyslogServer::runLoop() {
  struct Uncount {
    SyslogServer* server;
    ~Uncount() {
      norv::MutexLock lock(server->loopMutex);
      --server->loopThreads;
      server->loopChanged.broadcast();
    }
  } uncount{this};
  endpoint.run();
}

void SyslogServer::acceptNext() {
  if (acceptStopped) return;
  websocketpp::lib::error_code ec = norv::wspp::acceptOne(
      endpoint,
      [this](const server_type::connection_ptr& con, const websocketpp::lib::error_code& e) {
        boost::asio::post(*acceptStrand, [this, con, e] { accepted(con, e); });
      });
  if (!ec) return;
  if (ec == websocketpp::error::async_accept_not_listening) return;  // stopped meanwhile
  acceptFailed(ec.message());
}

void SyslogServer::accepted(const server_type::connection_ptr& con,
                            const websocketpp::lib::error_code& ec) {
  if (ec) {
    con->terminate(ec);
    if (acceptStopped || ec == websocketpp::error::operation_canceled)
      return;  // the stop closed it
    acceptFailed(ec.message());
    return;
  }
  acceptPause = std::chrono::milliseconds(0);
  if (openConnections.load() >= maxConnections) {
    norv::wspp::dropAccepted(con,
                             websocketpp::error::make_error_code(websocketpp::error::rejected));
    reportAccept(
        websocketpp::log::elevel::warn,
        "connection refused: " + std::to_string(maxConnections) + " connections are open already");
  } else {
    ++openConnections;
    norv::wspp::startAccepted(con, [this] { --openConnections; });
  }
  acceptNext();
}

void SyslogServer::acceptFailed(const std::string& what) {
  acceptPause =
      acceptPause.count() == 0 ? kFirstAcceptPause : std::min(acceptPause * 2, kLongestAcceptPause);
  reportAccept(websocketpp::log::elevel::rerror, "accept failed: " + what + "; next attempt in " +
                                                     std::to_string(acceptPause.count()) + " ms");
  acceptTimer->expires_after(acceptPause);
  acceptTimer->async_wait(
      boost::asio::bind_executor(*acceptStrand, [this](const boost::system::error_code& e) {
        if (!e) acceptNext();
      }));
}

void SyslogServer::reportAccept(websocketpp::log::level level, std::string text) {
  const auto now = std::chrono::steady_clock::now();
  if (now - lastAcceptReport < std::chrono::seconds(1)) {
    ++unreportedAcceptEvents;
    return;
  }
  if (unreportedAcceptEvents > 0)
    text += " (and " + std::to_string(unreportedAcceptEvents) + " more since the last report)";
  endpoint.get_elog().write(level, text);
  lastAcceptReport = now;
  unreportedAcceptEvents = 0;
}

void SyslogServer::stop() {
  // The acceptor belongs to the accept loop: closing it from this thread
  // while a loop thread uses it corrupts the transport. So the work is
  // posted to the accept loop's strand and this thread waits for it. If no
  // loop runs (or it ends before taking the work), or the caller is the one
  // loop thread or already in the strand, the work runs here.
  struct StopTask {
    std::atomic<bool> claimed{false};
    bool done = false;
    std::exception_ptr error;
  };
  auto task = std::make_shared<StopTask>();
  auto work = [this, task] {
    if (task->claimed.exchange(true)) return;
    std::exception_ptr error;
    try {
      stopNow();
    } catch (...) {
      error = std::current_exception();
    }
    norv::MutexLock lock(loopMutex);
    task->error = error;
    task->done = true;
    loopChanged.broadcast();
  };
  const bool inStrand = acceptStrand && acceptStrand->running_in_this_thread();
  const bool onLoopThread = endpoint.get_io_service().get_executor().running_in_this_thread();
  bool posted = false;
  if (acceptStrand && !inStrand) {
    norv::MutexLock lock(loopMutex);
    posted = loopThreads > (onLoopThread ? 1 : 0);
  }
  if (posted) {
    boost::asio::post(*acceptStrand, work);
    norv::MutexLock lock(loopMutex);
    while (!task->done && loopThreads > (onLoopThread ? 1 : 0)) loopChanged.wait(loopMutex);
  }
  work();  // does nothing if the posted work ran
  if (task->error) std::rethrow_exception(task->error);
}

void SyslogServer::stopNow() {
  norv::MutexLock lock(connectionMutex);
  endpoint.stop_listening();  // throws when not listening
  stopping = true;
  acceptStopped = true;
  if (acceptTimer) acceptTimer->cancel();
  // Paused connections read again, or they could not see the peer's answer
  // to the close frame.
  for (const auto& con : paused) norv::wspp::resumeReading(con);
  paused.clear();
  // Every open connection is asked to close, even when one of them fails;
  // one that is already closing is on its way out and is left alone.
  bool inStrands;
  {
    norv::MutexLock loops(loopMutex);
    inStrands = threadCount > 1 && loopThreads > 0;
  }
  websocketpp::lib::error_code firstError;
  for (const auto& hdl : connections) {
    websocketpp::lib::error_code ec;
    server_type::connection_ptr con = endpoint.get_con_from_hdl(hdl, ec);
    if (!con) continue;
    ec = norv::wspp::closeNormally(con, inStrands);
    if (ec && !firstError) firstError = ec;
  }
  if (firstError) throw websocketpp::exception(firstError);
}

void SyslogServer::resumePaused() {
  norv::MutexLock lock(connectionMutex);
  for (const auto& con : paused) norv::wspp::resumeReading(con);
  paused.clear();
}

void SyslogServer::on_open(std::weak_ptr<void> hdl) {
  Trace("SyslogServer#on_open:");
  {
    norv::MutexLock lock(connectionMutex);
    if (stopping) {
      websocketpp::lib::error_code ec;  // one that fails to close is already on its way out
      server_type::connection_ptr con = endpoint.get_con_from_hdl(hdl, ec);
      if (con) con->close(websocketpp::close::status::normal, "", ec);
    } else {
      connections.insert(hdl);
    }
  }
  Trace("SyslogServer#on_open end");
}

void SyslogServer::on_close(std::weak_ptr<void> hdl) {
  Trace("SyslogServer#on_close:");
  {
    norv::MutexLock lock(connectionMutex);
    connections.erase(hdl);
    websocketpp::lib::error_code ec;
    if (server_type::connection_ptr con = endpoint.get_con_from_hdl(hdl, ec)) paused.erase(con);
  }
  Trace("SyslogServer#on_close end");
}

notification SyslogServer::makeNotification(std::string payload) {
  // The host as jsoncpp's reader would name it, without building the
  // document: a hostile message costs no more than its own reading.
  std::string host = norv::hostOf(payload.data(), payload.size());
  return notification{std::move(host), std::move(payload)};
}

void SyslogServer::on_message(std::weak_ptr<void> hdl, server_type::message_ptr msg) {
  // The message is the handler's alone once it is called: its text moves on.
  std::string& payload = msg->get_raw_payload();
  if (debugEnabled.load(std::memory_order_relaxed)) Trace("THREAD vantry#on_message:" + payload);
  notification n = makeNotification(std::move(payload));
  Trace("th_listener#PUSH NOTIF#");
  if (!queue) return;
  queue->push(std::move(n));
  if (!queue->overLimit()) return;
  // Re-checked under the lock that resumePaused takes: a drain that ends
  // the spell either comes after this and resumes the connection, or came
  // before and the queue is no longer over its limit.
  norv::MutexLock lock(connectionMutex);
  if (stopping || !queue->overLimit()) return;
  websocketpp::lib::error_code ec;
  if (server_type::connection_ptr con = endpoint.get_con_from_hdl(hdl, ec)) {
    if (paused.insert(con).second) norv::wspp::pauseReadingInMessageHandler(con);
  }
}
