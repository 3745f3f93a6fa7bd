#include "websocket/SyslogServer.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include <boost/asio/post.hpp>
#include <json/json.h>

namespace {

const char kBadHost[] = "daemonbadhost";

// The sending host named by a received message. The reader keeps whatever
// it had stored when it stopped, so a document that breaks off after its
// "fromhost" member still names the host. jsoncpp throws for a root that is
// not an object (or null), for a "fromhost" it cannot turn into a string, and
// for nesting deeper than its limit: such a message still goes to the queue.
std::string hostOf(const std::string& payload) {
  try {
    Json::Reader reader;
    Json::Value root;
    reader.parse(payload, root, true);
    return root.get("fromhost", kBadHost).asString();
  } catch (const std::exception&) {
    return kBadHost;
  }
}

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
      loopThreads(0) {
  setDefaultSetting();
}

SyslogServer::SyslogServer() : SyslogServer(0, 1, nullptr) {}

SyslogServer::~SyslogServer() { pthread_mutex_destroy(&connectionMutex); }

void SyslogServer::setDefaultSetting() {
  debugEnabled = false;
  endpoint.clear_access_channels(websocketpp::log::alevel::all);
  endpoint.init_asio();
  endpoint.set_reuse_addr(true);
  using websocketpp::lib::placeholders::_1;
  using websocketpp::lib::placeholders::_2;
  endpoint.set_open_handler(websocketpp::lib::bind(&SyslogServer::on_open, this, _1));
  endpoint.set_close_handler(websocketpp::lib::bind(&SyslogServer::on_close, this, _1));
  endpoint.set_message_handler(websocketpp::lib::bind(&SyslogServer::on_message, this, _1, _2));
  pthread_mutex_init(&connectionMutex, nullptr);
}

void SyslogServer::setDebugFunction(void (*f)(std::string)) {
  debugFunction = f;
  debugEnabled = true;
}

void SyslogServer::Trace(std::string text) {
  if (debugEnabled) debugFunction(text);
}

void SyslogServer::setFunctionSSLContext(ssl_context_function f) { sslContextFunction = f; }

void SyslogServer::setValidateFunction(validate_function f) {
  endpoint.set_validate_handler(
      [this, f](websocketpp::connection_hdl hdl) { return f(endpoint, hdl); });
}

void SyslogServer::setListeningFunction(void (*f)(int)) { listeningFunction = f; }

void SyslogServer::setResponse(int) {}

void SyslogServer::cleanOldTask() {}

void SyslogServer::run() {
  ssl_context_function factory = sslContextFunction;
  endpoint.set_tls_init_handler(
      [this, factory](websocketpp::connection_hdl hdl) -> std::shared_ptr<boost::asio::ssl::context> {
        // The endpoint makes a connection's TLS context when it creates the
        // connection, and it creates each one to wait for the next accept.
        pthread_mutex_lock(&connectionMutex);
        pendingAccept = hdl;
        pthread_mutex_unlock(&connectionMutex);
        // No context (or a failing factory) fails this one handshake only.
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
  pthread_mutex_lock(&connectionMutex);
  stopping = false;
  pthread_mutex_unlock(&connectionMutex);
  endpoint.start_accept();
  if (threadCount > 0) {
    if (endpoint.stopped()) endpoint.reset();  // a loop that ran out before must be rearmed
    // Counted before the caller can learn the port, so that a stop() from
    // then on knows that loop threads are coming; each uncounts itself.
    loopThreads += threadCount;
  }
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
  std::vector<std::shared_ptr<std::thread>> threads;
  std::exception_ptr firstError;
  std::mutex errorMutex;
  for (int i = 0; i < threadCount; ++i) {
    threads.push_back(std::make_shared<std::thread>([this, &firstError, &errorMutex] {
      try {
        runLoop();
      } catch (...) {
        std::lock_guard<std::mutex> lock(errorMutex);
        if (!firstError) firstError = std::current_exception();
      }
    }));
  }
  for (auto& t : threads) t->join();
  if (firstError) std::rethrow_exception(firstError);
}

void SyslogServer::stop() {
  // The acceptor and the connections belong to the I/O loop: closing them
  // from this thread while a loop thread uses them corrupts the transport.
  // So the work is posted to the accept loop and this thread waits for its
  // outcome. If no loop runs (or it ends before taking the work), or the
  // caller is the one loop thread, the work runs here. A loop thread of a
  // server with several waits for another to do it. Whoever claims it first
  // does it.
  struct StopTask {
    std::atomic<bool> claimed{false};
    std::promise<void> done;
  };
  auto task = std::make_shared<StopTask>();
  auto work = [this, task] {
    if (task->claimed.exchange(true)) return;
    try {
      stopNow();
      task->done.set_value();
    } catch (...) {
      task->done.set_exception(std::current_exception());
    }
  };
  std::future<void> outcome = task->done.get_future();
  const bool onLoopThread = endpoint.get_io_service().get_executor().running_in_this_thread();
  if (loopThreads.load() > (onLoopThread ? 1 : 0)) {
    postToAcceptLoop(work);
    while (outcome.wait_for(std::chrono::milliseconds(20)) != std::future_status::ready) {
      if (loopThreads.load() == 0) {
        work();
        break;
      }
    }
  } else {
    work();
  }
  outcome.get();
}

void SyslogServer::stopNow() {
  pthread_mutex_lock(&connectionMutex);
  stopping = true;
  websocketpp::lib::error_code firstError;
  try {
    endpoint.stop_listening();
    // Every open connection is asked to close, even when one of them fails;
    // one that is already closing is on its way out and is left alone.
    // websocketpp's close() changes the connection's timers unguarded, so
    // with several loop threads it must run in the connection's own strand,
    // beside none of its handlers; a failure there means it was closing.
    for (const auto& hdl : connections) {
      websocketpp::lib::error_code ec;
      server_type::connection_ptr con = endpoint.get_con_from_hdl(hdl, ec);
      if (!con || con->get_state() != websocketpp::session::state::open) continue;
      if (threadCount > 1 && loopThreads.load() > 0) {
        boost::asio::post(*con->get_strand(), [con] {
          websocketpp::lib::error_code closeEc;
          if (con->get_state() == websocketpp::session::state::open)
            con->close(websocketpp::close::status::normal, "", closeEc);
        });
        continue;
      }
      con->close(websocketpp::close::status::normal, "", ec);
      if (ec && !firstError) firstError = ec;
    }
  } catch (...) {
    pthread_mutex_unlock(&connectionMutex);
    throw;
  }
  pthread_mutex_unlock(&connectionMutex);
  if (firstError) throw websocketpp::exception(firstError);
}

void SyslogServer::postToAcceptLoop(std::function<void()> work) {
  pthread_mutex_lock(&connectionMutex);
  std::weak_ptr<void> hdl = pendingAccept;
  pthread_mutex_unlock(&connectionMutex);
  websocketpp::lib::error_code ec;
  server_type::connection_ptr con = endpoint.get_con_from_hdl(hdl, ec);
  if (!con) {  // no accept waits: nothing else touches the acceptor
    boost::asio::post(endpoint.get_io_service(), work);
    return;
  }
  boost::asio::post(*con->get_strand(), [this, hdl, work] {
    pthread_mutex_lock(&connectionMutex);
    const bool stillPending = !hdl.owner_before(pendingAccept) && !pendingAccept.owner_before(hdl);
    pthread_mutex_unlock(&connectionMutex);
    // An accept completed before this ran: follow the loop to its next strand.
    if (stillPending) {
      work();
    } else {
      postToAcceptLoop(work);
    }
  });
}

void SyslogServer::runLoop() {
  try {
    endpoint.run();
  } catch (...) {
    --loopThreads;
    throw;
  }
  --loopThreads;
}

void SyslogServer::on_open(std::weak_ptr<void> hdl) {
  Trace("SyslogServer#on_open:");
  pthread_mutex_lock(&connectionMutex);
  if (stopping) {
    websocketpp::lib::error_code ec;  // one that fails to close is already on its way out
    server_type::connection_ptr con = endpoint.get_con_from_hdl(hdl, ec);
    if (con) con->close(websocketpp::close::status::normal, "", ec);
  } else {
    connections.insert(hdl);
  }
  pthread_mutex_unlock(&connectionMutex);
  Trace("SyslogServer#on_open end");
}

void SyslogServer::on_close(std::weak_ptr<void> hdl) {
  Trace("SyslogServer#on_close:");
  pthread_mutex_lock(&connectionMutex);
  connections.erase(hdl);
  pthread_mutex_unlock(&connectionMutex);
  Trace("SyslogServer#on_close end");
}

notification SyslogServer::makeNotification(const std::string& payload) {
  return notification{hostOf(payload), payload};
}

void SyslogServer::on_message(std::weak_ptr<void>, server_type::message_ptr msg) {
  const std::string& payload = msg->get_payload();
  if (debugEnabled) Trace("THREAD vantry#on_message:" + payload);
  notification n = makeNotification(payload);
  Trace("th_listener#PUSH NOTIF#");
  if (queue) queue->push(n);
}
