#include "websocket/SyslogServer.h"

#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>

#include <boost/asio/post.hpp>
#include <cstdint>
#include <deque>
#include <exception>
#include <iostream>
#include <thread>
#include <utility>

#include "base/MutexLock.h"
#include "websocket/HostLookup.h"
#include "websocket/LineLockedStreamBuf.h"
#include "websocket/WsppInternals.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Error-log entries of every server go out whole, one at a time.
pthread_mutex_t errorLogMutex = PTHREAD_MUTEX_INITIALIZER;

constexpr milliseconds kFirstAcceptPause{100};
constexpr milliseconds kLongestAcceptPause{1000};
// What a waiting pong costs besides its payload.
constexpr std::size_t kPongCost = 64;

// What one queued notification counts against the queue's limit: its bytes,
// and something for the element itself so that empty messages count too.
std::size_t queuedBytes(const notification& n) { return n.host.size() + n.payload.size() + 64; }

// The peer leaves what is sent to it unread: the socket takes no more, or
// more than `limit` bytes sent to it are not yet acknowledged by its TCP.
bool notReading(const SyslogServer::server_type::connection_ptr& con, std::size_t limit) {
  const int fd = con->get_raw_socket().native_handle();
  pollfd writable = {fd, POLLOUT, 0};
  if (::poll(&writable, 1, 0) == 0) return true;
  int queued = 0;
  return ::ioctl(fd, SIOCOUTQ, &queued) == 0 && static_cast<std::size_t>(queued) > limit;
}

}  // namespace

// One endpoint with an I/O context of its own, run by one thread.
struct SyslogServer::Shard {
  // The endpoint's error log, written whole entry by entry to std::cerr; one
  // per shard, as the endpoint's logger serialises only its own entries.
  norv::LineLockedStreamBuf errorLogBuf{std::cerr, &errorLogMutex, true};
  std::ostream errorLogStream{&errorLogBuf};
  server_type endpoint;
  // Peers with pongs waiting for delivery: this shard's thread only.
  std::set<PeerPtr> awaiting;
  // Whether `awaiting` may hold a peer; read by the consumer's thread (see
  // pinged for why it is set before delivery is read).
  std::atomic<bool> hasAwaiting{false};
};

// What the server keeps for one accepted connection. Owned by the
// connection's own handlers (so it lives as long as the connection); it
// holds the connection weakly. Fields are used on the shard's thread only,
// except the handshake entry (handshakeMutex).
struct SyslogServer::Peer {
  explicit Peer(Shard& s) : shard(s) {}
  Shard& shard;
  std::weak_ptr<server_type::connection_type> con;
  server_type::timer_ptr timer;
  unsigned timerGeneration = 0;  // a callback of an older timer does nothing
  Clock::time_point handshakeDeadline;
  Clock::time_point lastHeard;  // last frame read
  bool open = false;
  bool ended = false;
  bool holdsSlot = false;  // counted in sendersIn
  // Pings waiting for delivery, oldest first: the number of messages pushed
  // when each came, and its payload.
  std::deque<std::pair<std::uint64_t, std::string>> pongs;
  std::size_t pongBytes = 0;
  // The pong to send once the frames read so far are handled, if any.
  std::string pongDue;
  bool pongPosted = false;
  // Its place among the pending handshakes (handshakeMutex).
  std::list<PeerPtr>::iterator handshakeEntry;
  bool pendingHandshake = false;
};

SyslogServer::SyslogServer(int port, int threadCount, ExecuteQueue<notification>* queue)
    : port(port),
      threadCount(threadCount),
      stopping(false),
      sslContextFunction(nullptr),
      validateFunction(nullptr),
      queue(queue),
      listeningFunction(nullptr),
      maxMessageSize(kDefaultMaxMessageSize),
      maxConnections(kDefaultMaxConnections),
      maxHandshakes(kDefaultMaxHandshakes),
      handshakeTimeout(kDefaultHandshakeTimeout),
      idleTimeout(kDefaultIdleTimeout),
      queueLimit(kDefaultQueueLimit),
      acknowledgeOnDelivery(false),
      sendersIn(0),
      acceptStopped(true),
      nextShard(0),
      acceptPause(0),
      unreportedAcceptEvents(0),
      loopThreads(0),
      acceptLoop(false) {
  // websocketpp finds the byte order lazily, in a static of its own; found
  // here, before any loop thread, it is only read from then on.
  websocketpp::lib::net::_htonll(0);
  for (int i = 0; i < std::max(1, threadCount); ++i) shards.push_back(std::make_unique<Shard>());
  setDefaultSetting();
}

SyslogServer::SyslogServer() : SyslogServer(0, 1, nullptr) {}

SyslogServer::~SyslogServer() {
  // The queue outlives the server: it must not call back into it.
  if (queue) {
    queue->setLimit(0, nullptr, nullptr);
    queue->setDeliveredFunction(nullptr);
  }
}

void SyslogServer::setDefaultSetting() {
  trace.set(nullptr);
  using websocketpp::lib::placeholders::_1;
  using websocketpp::lib::placeholders::_2;
  for (auto& shard : shards) {
    server_type& endpoint = shard->endpoint;
    endpoint.clear_access_channels(websocketpp::log::alevel::all);
    endpoint.get_elog().set_ostream(&shard->errorLogStream);
    endpoint.init_asio();
    endpoint.set_reuse_addr(true);
    endpoint.set_max_message_size(maxMessageSize);
    endpoint.set_open_handler(websocketpp::lib::bind(&SyslogServer::on_open, this, _1));
    endpoint.set_close_handler(websocketpp::lib::bind(&SyslogServer::on_close, this, _1));
    endpoint.set_message_handler(websocketpp::lib::bind(&SyslogServer::on_message, this, _1, _2));
  }
}

void SyslogServer::setDebugFunction(void (*f)(std::string)) { trace.set(f); }

void SyslogServer::Trace(std::string text) { trace(std::move(text)); }

void SyslogServer::setFunctionSSLContext(ssl_context_function f) { sslContextFunction = f; }

void SyslogServer::setValidateFunction(validate_function f) { validateFunction = f; }

void SyslogServer::setListeningFunction(void (*f)(int)) { listeningFunction = f; }

void SyslogServer::setResponse(int) {}

void SyslogServer::cleanOldTask() {}

void SyslogServer::setMaxMessageSize(std::size_t bytes) {
  maxMessageSize = bytes;
  for (auto& shard : shards) shard->endpoint.set_max_message_size(bytes);
}

void SyslogServer::setMaxConnections(int count) { maxConnections = count; }

void SyslogServer::setMaxHandshakes(int count) { maxHandshakes = count; }

void SyslogServer::setHandshakeTimeout(milliseconds timeout) { handshakeTimeout = timeout; }

void SyslogServer::setIdleTimeout(milliseconds timeout) { idleTimeout = timeout; }

void SyslogServer::setQueueLimit(std::size_t bytes) { queueLimit = bytes; }

void SyslogServer::setAcknowledgeOnDelivery(bool onDelivery) { acknowledgeOnDelivery = onDelivery; }

void SyslogServer::run() {
  ssl_context_function factory = sslContextFunction;
  auto tlsInit =
      [factory](websocketpp::connection_hdl hdl) -> std::shared_ptr<boost::asio::ssl::context> {
    // No context (or a failing factory): the connection object cannot be
    // made; the accept loop reports it and tries again later.
    if (!factory) return nullptr;
    try {
      return factory(1, hdl);
    } catch (const std::exception&) {
      return nullptr;
    }
  };
  for (auto& shard : shards) shard->endpoint.set_tls_init_handler(tlsInit);

  server_type& listener = shards[0]->endpoint;
  websocketpp::lib::error_code ec;
  listener.listen(boost::asio::ip::tcp::v6(), static_cast<std::uint16_t>(port), ec);
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
    if (acknowledgeOnDelivery)
      queue->setDeliveredFunction([this](std::uint64_t n) { delivered(n); });
  }
  if (!acceptStrand) {
    acceptStrand = std::make_unique<boost::asio::io_context::strand>(listener.get_io_service());
    acceptTimer = std::make_unique<boost::asio::steady_timer>(listener.get_io_service());
  }
  acceptStopped = false;
  acceptPause = milliseconds(0);
  if (threadCount > 0) {
    // Every shard's loop runs until the stop, with or without connections.
    for (auto& shard : shards) {
      if (shard->endpoint.stopped()) shard->endpoint.reset();  // rearm a loop that ran out
      shard->endpoint.start_perpetual();
    }
    // Counted before the caller can learn the port, so that a stop() from
    // then on knows that loop threads are coming; each uncounts itself.
    norv::MutexLock lock(loopMutex);
    loopThreads += threadCount;
    acceptLoop = true;
  }
  boost::asio::post(*acceptStrand, [this] { acceptNext(); });
  if (listeningFunction) {
    boost::system::error_code localEc;
    int actual = listener.get_local_endpoint(localEc).port();
    listeningFunction(localEc ? static_cast<std::uint16_t>(port) : actual);
  }

  if (threadCount == 0) return;
  if (threadCount == 1) {
    runLoop(0);
    return;
  }
  std::vector<std::thread> threads;
  std::exception_ptr firstError;
  norv::Mutex errorMutex;
  for (std::size_t i = 0; i < shards.size(); ++i) {
    threads.emplace_back([this, i, &firstError, &errorMutex] {
      try {
        runLoop(i);
      } catch (...) {
        {
          norv::MutexLock lock(errorMutex);
          if (!firstError) firstError = std::current_exception();
        }
        // The others would wait for a stop that may not come.
        for (auto& shard : shards) shard->endpoint.stop();
      }
    });
  }
  for (auto& t : threads) t.join();
  if (firstError) std::rethrow_exception(firstError);
}

void SyslogServer::runLoop(std::size_t i) {
  struct Uncount {
    SyslogServer* server;
    bool accepting;
    ~Uncount() {
      norv::MutexLock lock(server->loopMutex);
      --server->loopThreads;
      if (accepting) server->acceptLoop = false;
      server->loopChanged.broadcast();
    }
  } uncount{this, i == 0};
  shards[i]->endpoint.run();
}

bool SyslogServer::loopsRunning() {
  norv::MutexLock lock(loopMutex);
  return loopThreads > 0;
}

void SyslogServer::acceptNext() {
  if (acceptStopped) return;
  Shard& owner = *shards[nextShard];
  nextShard = (nextShard + 1) % shards.size();
  websocketpp::lib::error_code ec = norv::wspp::acceptOne(
      shards[0]->endpoint, owner.endpoint,
      [this, &owner](const connection_ptr& con, const websocketpp::lib::error_code& e) {
        boost::asio::post(*acceptStrand, [this, con, &owner, e] { accepted(con, owner, e); });
      });
  if (!ec) return;
  if (ec == websocketpp::error::async_accept_not_listening) return;  // stopped meanwhile
  acceptFailed(ec.message());
}

void SyslogServer::accepted(const connection_ptr& con, Shard& owner,
                            const websocketpp::lib::error_code& ec) {
  if (ec) {
    norv::wspp::dropAccepted(con, ec);
    if (acceptStopped || ec == websocketpp::error::operation_canceled)
      return;  // the stop closed it
    acceptFailed(ec.message());
    return;
  }
  acceptPause = milliseconds(0);
  auto peer = std::make_shared<Peer>(owner);
  peer->con = con;
  PeerPtr displaced;
  {
    // A handshake takes no sender slot; when too many are pending, the
    // oldest goes: a sender's handshake is over in milliseconds, so only
    // connections that stall theirs are likely to be the oldest.
    norv::MutexLock lock(handshakeMutex);
    if (static_cast<int>(handshakes.size()) >= maxHandshakes && !handshakes.empty()) {
      displaced = handshakes.front();
      handshakes.pop_front();
      displaced->pendingHandshake = false;
    }
    peer->handshakeEntry = handshakes.insert(handshakes.end(), peer);
    peer->pendingHandshake = true;
  }
  if (displaced) {
    dropHandshake(displaced);
    reportAccept(websocketpp::log::elevel::warn,
                 "handshake dropped: " + std::to_string(maxHandshakes) +
                     " handshakes are pending already; the oldest went");
  }
  boost::asio::post(*con->get_strand(), [this, con, peer] { startPeer(con, peer); });
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
  const auto now = Clock::now();
  {
    norv::MutexLock lock(reportMutex);
    if (now - lastAcceptReport < std::chrono::seconds(1)) {
      ++unreportedAcceptEvents;
      return;
    }
    if (unreportedAcceptEvents > 0)
      text += " (and " + std::to_string(unreportedAcceptEvents) + " more since the last report)";
    lastAcceptReport = now;
    unreportedAcceptEvents = 0;
  }
  shards[0]->endpoint.get_elog().write(level, text);
}

void SyslogServer::startPeer(const connection_ptr& con, const PeerPtr& peer) {
  // The connection's own handlers, in place of the endpoint's: each knows
  // its peer without a lookup.
  con->set_validate_handler(
      [this, peer](websocketpp::connection_hdl hdl) { return validatePeer(peer, hdl); });
  con->set_open_handler([this, peer](websocketpp::connection_hdl hdl) { peerOpened(peer, hdl); });
  con->set_message_handler(
      [this, peer](websocketpp::connection_hdl hdl, server_type::message_ptr msg) {
        peer->lastHeard = Clock::now();
        on_message(hdl, msg);
      });
  con->set_ping_handler([this, peer](websocketpp::connection_hdl, std::string payload) {
    pinged(peer, std::move(payload));
    return false;  // pinged answers, or not yet
  });
  con->set_pong_handler(
      [peer](websocketpp::connection_hdl, std::string) { peer->lastHeard = Clock::now(); });
  peer->handshakeDeadline = Clock::now() + handshakeTimeout;
  norv::wspp::startAccepted(con, [this, peer] { peerEnded(peer); });
  armTimer(peer, handshakeTimeout);
}

bool SyslogServer::validatePeer(const PeerPtr& peer, std::weak_ptr<void> hdl) {
  int in = sendersIn.load();
  do {
    if (in >= maxConnections) {
      websocketpp::lib::error_code ec;
      if (connection_ptr con = peer->shard.endpoint.get_con_from_hdl(hdl, ec))
        con->set_status(websocketpp::http::status_code::service_unavailable);
      reportAccept(websocketpp::log::elevel::warn,
                   "connection refused: " + std::to_string(maxConnections) +
                       " connections are open already");
      return false;
    }
  } while (!sendersIn.compare_exchange_weak(in, in + 1));
  peer->holdsSlot = true;
  validate_function f = validateFunction.load();
  if (f && !f(peer->shard.endpoint, hdl)) {
    --sendersIn;
    peer->holdsSlot = false;
    return false;
  }
  // A sender now: no newer connection displaces it (its handshake time-out
  // still holds until it opens).
  leaveHandshakes(*peer);
  return true;
}

void SyslogServer::peerOpened(const PeerPtr& peer, std::weak_ptr<void> hdl) {
  leaveHandshakes(*peer);
  peer->open = true;
  peer->lastHeard = Clock::now();
  armTimer(peer, idleTimeout);
  on_open(hdl);
}

void SyslogServer::peerEnded(const PeerPtr& peer) {
  peer->ended = true;
  leaveHandshakes(*peer);
  if (peer->holdsSlot) --sendersIn;
  peer->holdsSlot = false;
  ++peer->timerGeneration;
  if (peer->timer) peer->timer->cancel();
  peer->timer.reset();
  peer->pongs.clear();
  peer->shard.awaiting.erase(peer);
}

bool SyslogServer::leaveHandshakes(Peer& peer) {
  norv::MutexLock lock(handshakeMutex);
  if (!peer.pendingHandshake) return false;
  handshakes.erase(peer.handshakeEntry);
  peer.pendingHandshake = false;
  return true;
}

void SyslogServer::dropHandshake(const PeerPtr& peer) {
  connection_ptr con = peer->con.lock();
  if (!con) return;
  // Closing the socket fails whatever the handshake waits for; the
  // connection then ends on its usual path (termination handler included).
  boost::asio::post(*con->get_strand(), [con, peer] {
    if (peer->holdsSlot || peer->ended) return;
    boost::system::error_code ignored;
    con->get_raw_socket().close(ignored);
  });
}

void SyslogServer::armTimer(const PeerPtr& peer, milliseconds after) {
  const unsigned generation = ++peer->timerGeneration;
  if (peer->timer) peer->timer->cancel();
  peer->timer.reset();
  connection_ptr con = peer->con.lock();
  if (!con || after.count() <= 0) return;
  peer->timer = con->set_timer(static_cast<long>(after.count()),
                               [this, peer, generation](const websocketpp::lib::error_code& ec) {
                                 if (generation == peer->timerGeneration) peerTimer(peer, ec);
                               });
}

void SyslogServer::peerTimer(const PeerPtr& peer, const websocketpp::lib::error_code& ec) {
  connection_ptr con = peer->con.lock();
  if (ec || peer->ended || !con) return;
  const Clock::time_point now = Clock::now();
  if (!peer->open) {
    if (now < peer->handshakeDeadline) {
      armTimer(peer, std::chrono::ceil<milliseconds>(peer->handshakeDeadline - now));
      return;
    }
    if (leaveHandshakes(*peer))
      reportAccept(websocketpp::log::elevel::info, "handshake not done after " +
                                                       std::to_string(handshakeTimeout.count()) +
                                                       " ms: connection dropped");
    boost::system::error_code ignored;
    con->get_raw_socket().close(ignored);
    return;
  }
  const Clock::duration quiet = now - peer->lastHeard;
  if (quiet < idleTimeout) {
    armTimer(peer, std::chrono::ceil<milliseconds>(idleTimeout - quiet));
    return;
  }
  websocketpp::lib::error_code closeEc;  // one already closing is on its way out
  con->close(websocketpp::close::status::going_away,
             "idle for " + std::to_string(idleTimeout.count() / 1000) + " s", closeEc);
}

void SyslogServer::pinged(const PeerPtr& peer, std::string payload) {
  peer->lastHeard = Clock::now();
  if (!acknowledgeOnDelivery || !queue) {
    sendPong(peer, payload);
    return;
  }
  // Every message this connection sent before the ping is on the queue
  // already (the handler runs after theirs), so it is answered once the
  // consumer has delivered as many as were pushed by now.
  const std::uint64_t pushed = queue->pushedCount();
  if (!peer->pongs.empty() && peer->pongs.back().first == pushed) {
    // Nothing came in between: the newer ping answers for both.
    peer->pongBytes -= peer->pongs.back().second.size();
    peer->pongs.back().second = std::move(payload);
  } else {
    peer->pongBytes += kPongCost;
    peer->pongs.emplace_back(pushed, std::move(payload));
  }
  peer->pongBytes += peer->pongs.back().second.size();
  connection_ptr con = peer->con.lock();
  if (peer->pongBytes > kMaxOutgoing && con) {
    websocketpp::lib::error_code ec;
    con->close(websocketpp::close::status::policy_violation, "too many pings", ec);
    return;
  }
  // Announced before delivery is read: a consumer that marks delivery after
  // that read sees the flag and posts the answer (delivered()).
  peer->shard.awaiting.insert(peer);
  peer->shard.hasAwaiting = true;
  answerDelivered(peer, queue->deliveredCount());
  if (peer->pongs.empty()) peer->shard.awaiting.erase(peer);
}

void SyslogServer::answerDelivered(const PeerPtr& peer, std::uint64_t count) {
  std::string newest;
  bool due = false;
  while (!peer->pongs.empty() && peer->pongs.front().first <= count) {
    newest = std::move(peer->pongs.front().second);
    peer->pongBytes -= newest.size() + kPongCost;
    peer->pongs.pop_front();
    due = true;
  }
  // One pong for the newest ping answers for the older ones too.
  if (due) sendPong(peer, std::move(newest));
}

void SyslogServer::sendPong(const PeerPtr& peer, std::string payload) {
  // All the pings of one read are answered by one pong for the newest, sent
  // once that read is handled: a flood of pings then costs one small write
  // per read, not one per ping (which the reading outruns by far).
  peer->pongDue = std::move(payload);
  if (peer->pongPosted) return;
  connection_ptr con = peer->con.lock();
  if (!con) return;
  peer->pongPosted = true;
  boost::asio::post(*con->get_strand(), [peer, con] {
    peer->pongPosted = false;
    if (con->get_state() != websocketpp::session::state::open) return;
    websocketpp::lib::error_code ec;
    // A peer that pings without reading the answers would make them pile up
    // without end.
    if (notReading(con, kMaxOutgoing)) {
      con->close(websocketpp::close::status::policy_violation, "pongs not read", ec);
      return;
    }
    con->pong(peer->pongDue, ec);
  });
}

void SyslogServer::delivered(std::uint64_t count) {
  for (auto& owned : shards) {
    Shard* shard = owned.get();
    if (!shard->hasAwaiting.load()) continue;
    boost::asio::post(shard->endpoint.get_io_service(), [this, shard, count] {
      for (auto it = shard->awaiting.begin(); it != shard->awaiting.end();) {
        const PeerPtr peer = *it;
        answerDelivered(peer, count);
        it = peer->pongs.empty() ? shard->awaiting.erase(it) : std::next(it);
      }
      if (shard->awaiting.empty()) shard->hasAwaiting = false;
    });
  }
}

void SyslogServer::stop() {
  // The acceptor belongs to the accept loop: closing it from this thread
  // while the loop thread uses it corrupts the transport. So the work is
  // posted to the accept loop's strand and this thread waits for it. If that
  // loop does not run (or it ends before taking the work), or the caller is
  // its thread, the work runs here.
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
  const bool onAcceptThread =
      shards[0]->endpoint.get_io_service().get_executor().running_in_this_thread();
  bool posted = false;
  if (acceptStrand && !onAcceptThread) {
    norv::MutexLock lock(loopMutex);
    posted = acceptLoop;
  }
  if (posted) {
    boost::asio::post(*acceptStrand, work);
    norv::MutexLock lock(loopMutex);
    while (!task->done && acceptLoop) loopChanged.wait(loopMutex);
  }
  work();  // does nothing if the posted work ran
  if (task->error) std::rethrow_exception(task->error);
}

void SyslogServer::stopNow() {
  norv::MutexLock lock(connectionMutex);
  shards[0]->endpoint.stop_listening();  // throws when not listening
  stopping = true;
  acceptStopped = true;
  if (acceptTimer) acceptTimer->cancel();
  // Paused connections read again, or they could not see the peer's answer
  // to the close frame.
  for (const auto& con : paused) norv::wspp::resumeReading(con);
  paused.clear();
  {
    norv::MutexLock pending(handshakeMutex);
    for (const PeerPtr& peer : handshakes) {
      peer->pendingHandshake = false;
      dropHandshake(peer);
    }
    handshakes.clear();
  }
  // Every open connection is asked to close, even when one of them fails;
  // one that is already closing is on its way out and is left alone. While
  // loops run, the close is made on the connection's own thread.
  const bool inStrands = loopsRunning();
  websocketpp::lib::error_code firstError;
  for (const auto& hdl : connections) {
    websocketpp::lib::error_code ec;
    connection_ptr con = shards[0]->endpoint.get_con_from_hdl(hdl, ec);
    if (!con) continue;
    ec = norv::wspp::closeNormally(con, inStrands);
    if (ec && !firstError) firstError = ec;
  }
  // Each loop returns once its last connection is gone.
  for (auto& shard : shards) shard->endpoint.stop_perpetual();
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
      connection_ptr con = shards[0]->endpoint.get_con_from_hdl(hdl, ec);
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
    if (connection_ptr con = shards[0]->endpoint.get_con_from_hdl(hdl, ec)) paused.erase(con);
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
  if (trace.enabled()) Trace("THREAD vantry#on_message:" + payload);
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
  if (connection_ptr con = shards[0]->endpoint.get_con_from_hdl(hdl, ec)) {
    if (paused.insert(con).second) norv::wspp::pauseReadingInMessageHandler(con);
  }
}
