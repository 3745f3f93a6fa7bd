// norv-syslog-receive: a receiver for the notification channel. It embeds a
// SyslogServer, writes one line to standard error once it listens, then every
// received notification as one JSON line {"host":...,"payload":...} on
// standard output, in queue order, written whenever the queue runs empty.
// A sender's acknowledgement request is answered only once every message it
// sent before is written out (the write returned), so a sender may drop what
// is acknowledged even if this program is killed the moment after.
// SIGINT or SIGTERM stops the server; the program exits 0 once the queue is
// written out (1 when standard output failed or the server could not serve).
//
// Threads: main runs the server (and its I/O loop when --threads is 1); a
// signal thread waits for SIGINT/SIGTERM (blocked everywhere else) and stops
// the server; the writer thread empties the queue onto standard output. The
// writer alone writes to descriptor 1, with write(2) and no stream buffer, so
// nothing another thread does (the library's error lines go to standard
// error) can flush, repeat or cut a line of it. Lines on standard error are
// written whole, one write each.
#include <getopt.h>
#include <json/json.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include "base/Mutex.h"
#include "base/MutexLock.h"
#include "config/convertTo.h"
#include "websocket/ServerTlsContext.h"
#include "websocket/SyslogServer.h"

namespace {

const char kProgram[] = "norv-syslog-receive";

// Writes all of text to fd; false (errno set) when it cannot.
bool writeAll(int fd, const std::string& text) {
  const char* p = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  return true;
}

// One line on standard error, in one write.
void say(const std::string& text) { writeAll(2, std::string(kProgram) + ": " + text + "\n"); }

// Built once before the server starts; shared by every connection.
std::shared_ptr<boost::asio::ssl::context> tlsContext;

std::shared_ptr<boost::asio::ssl::context> contextForConnection(int, std::weak_ptr<void>) {
  return tlsContext;
}

// A stop may be asked for before the server listens: it is then carried out
// as soon as listening starts. stopMutex guards the two flags and the call.
SyslogServer* server = nullptr;
norv::Mutex stopMutex;
bool listening NORV_GUARDED_BY(stopMutex) = false;
bool stopRequested NORV_GUARDED_BY(stopMutex) = false;

void stopServerLocked() NORV_REQUIRES(stopMutex) {
  listening = false;
  try {
    server->stop();
  } catch (const std::exception& e) {
    say(std::string("stop: ") + e.what());
  }
}

void requestStop() {
  norv::MutexLock lock(stopMutex);
  stopRequested = true;
  if (listening) stopServerLocked();
}

void onListening(int port) {
  say("listening on port " + std::to_string(port));
  norv::MutexLock lock(stopMutex);
  listening = true;
  if (stopRequested) stopServerLocked();
}

[[noreturn]] void usage(const std::string& problem) {
  if (!problem.empty()) say(problem);
  writeAll(2, std::string("usage: ") + kProgram +
                  " --cert FILE --key FILE [--client-ca FILE] [--port N (default 8443)]"
                  " [--threads N (default 1)] [--max-message BYTES (default 1048576)]"
                  " [--max-connections N (default 1000)] [--max-handshakes N (default 128)]"
                  " [--handshake-timeout SECONDS (default 10)] [--idle-timeout SECONDS (default"
                  " 300, 0: never)] [--queue-limit BYTES (default 67108864)]\n");
  std::exit(2);
}

long long parseNumber(const char* option, const char* text, long long low, long long high) {
  long long value = 0;
  if (!numberInRange(text, low, high, value))
    usage(numberRefusal(std::string("--") + option, text, low, high));
  return value;
}

// Appends text as a JSON string, exactly as jsoncpp's writer quotes it:
// plain ASCII without quotes, backslashes or control characters as it is,
// anything else through jsoncpp's own quoting.
void appendQuoted(std::string& out, const std::string& text) {
  for (unsigned char c : text) {
    if (c < 0x20 || c >= 0x80 || c == '"' || c == '\\') {
      out += Json::valueToQuotedString(text.c_str());
      return;
    }
  }
  out += '"';
  out += text;
  out += '"';
}

// One output line: what jsoncpp's stream writer makes of the object
// {"host":...,"payload":...} without indentation (members in key order),
// without building the object. A text holding a NUL byte takes the writer's
// own path: the quoting function stops at the first NUL.
void appendLine(std::string& out, const notification& n, Json::StreamWriter& writer) {
  if (n.host.find('\0') == std::string::npos && n.payload.find('\0') == std::string::npos) {
    out += "{\"host\":";
    appendQuoted(out, n.host);
    out += ",\"payload\":";
    appendQuoted(out, n.payload);
    out += "}\n";
    return;
  }
  Json::Value line(Json::objectValue);
  line["host"] = n.host;
  line["payload"] = n.payload;
  std::ostringstream text;
  writer.write(line, &text);
  out += text.str();
  out += '\n';
}

// Lines go out as soon as nothing else waits: what is taken from the queue
// without a pause is gathered and written with one call when the queue runs
// empty (or the batch passes kBatchBytes). A blocked standard output stops
// the taking, so the queue fills and the server stops reading. False when
// standard output failed.
bool writeNotifications(ExecuteQueue<notification>& queue, const std::atomic<bool>& serving) {
  const std::string::size_type kBatchBytes = 64 * 1024;
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  const std::unique_ptr<Json::StreamWriter> writer(builder.newStreamWriter());
  std::string batch;
  std::size_t lines = 0;
  notification n;
  auto flush = [&] {
    const bool ok = writeAll(1, batch);
    batch.clear();
    if (!ok) {
      say(std::string("cannot write to standard output: ") + std::strerror(errno));
      return false;
    }
    queue.markDelivered(lines);  // their senders may now be acknowledged
    lines = 0;
    return true;
  };
  for (;;) {
    if (!queue.tryPop(n)) {
      if (!batch.empty() && !flush()) return false;
      if (!queue.popFor(n, std::chrono::milliseconds(200))) {
        if (!serving.load()) return true;  // run() has returned: nothing more can come
        continue;
      }
    }
    appendLine(batch, n, *writer);
    ++lines;
    if (batch.size() >= kBatchBytes && !flush()) return false;
  }
}

}  // namespace

int main(int argc, char** argv) {
  int port = 8443;
  int threads = 1;
  std::string cert;
  std::string key;
  std::string clientCa;
  std::size_t maxMessage = SyslogServer::kDefaultMaxMessageSize;
  int maxConnections = SyslogServer::kDefaultMaxConnections;
  int maxHandshakes = SyslogServer::kDefaultMaxHandshakes;
  long long handshakeSeconds = SyslogServer::kDefaultHandshakeTimeout.count() / 1000;
  long long idleSeconds = SyslogServer::kDefaultIdleTimeout.count() / 1000;
  std::size_t queueLimit = SyslogServer::kDefaultQueueLimit;
  const option options[] = {{"port", required_argument, nullptr, 'p'},
                            {"threads", required_argument, nullptr, 't'},
                            {"cert", required_argument, nullptr, 'c'},
                            {"key", required_argument, nullptr, 'k'},
                            {"client-ca", required_argument, nullptr, 'a'},
                            {"max-message", required_argument, nullptr, 'm'},
                            {"max-connections", required_argument, nullptr, 'n'},
                            {"max-handshakes", required_argument, nullptr, 's'},
                            {"handshake-timeout", required_argument, nullptr, 'H'},
                            {"idle-timeout", required_argument, nullptr, 'i'},
                            {"queue-limit", required_argument, nullptr, 'q'},
                            {"help", no_argument, nullptr, 'h'},
                            {nullptr, 0, nullptr, 0}};
  opterr = 0;
  int opt;
  while ((opt = getopt_long(argc, argv, "", options, nullptr)) != -1) {
    switch (opt) {
      case 'p':
        port = static_cast<int>(parseNumber("port", optarg, 0, 65535));
        break;
      case 't':
        threads = static_cast<int>(parseNumber("threads", optarg, 1, 256));
        break;
      case 'c':
        cert = optarg;
        break;
      case 'k':
        key = optarg;
        break;
      case 'a':
        clientCa = optarg;
        break;
      case 'm':
        maxMessage = static_cast<std::size_t>(parseNumber("max-message", optarg, 1, 1LL << 31));
        break;
      case 'n':
        maxConnections = static_cast<int>(parseNumber("max-connections", optarg, 1, 1000000));
        break;
      case 's':
        maxHandshakes = static_cast<int>(parseNumber("max-handshakes", optarg, 1, 1000000));
        break;
      case 'H':
        handshakeSeconds = parseNumber("handshake-timeout", optarg, 1, 3600);
        break;
      case 'i':
        idleSeconds = parseNumber("idle-timeout", optarg, 0, 86400 * 365);
        break;
      case 'q':
        queueLimit = static_cast<std::size_t>(parseNumber("queue-limit", optarg, 1, 1LL << 40));
        break;
      case 'h':
        usage("");
      default:
        usage(std::string("unknown or incomplete option '") + argv[optind - 1] + "'");
    }
  }
  if (optind < argc) usage(std::string("unexpected argument '") + argv[optind] + "'");
  if (cert.empty() || key.empty()) usage("--cert and --key are required");
  try {
    tlsContext = norv::makeServerTlsContext(cert, key, clientCa);
  } catch (const std::exception& e) {
    say(e.what());
    return 2;
  }

  // A reader of standard output that goes away is a write error, not a
  // signal that ends the program before the queue is accounted for.
  signal(SIGPIPE, SIG_IGN);
  // Blocked before any thread starts, so only the signal thread receives them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  ExecuteQueue<notification> queue;
  SyslogServer syslogServer(port, threads, &queue);
  server = &syslogServer;
  syslogServer.setFunctionSSLContext(contextForConnection);
  syslogServer.setListeningFunction(onListening);
  syslogServer.setMaxMessageSize(maxMessage);
  syslogServer.setMaxConnections(maxConnections);
  syslogServer.setMaxHandshakes(maxHandshakes);
  syslogServer.setHandshakeTimeout(std::chrono::seconds(handshakeSeconds));
  syslogServer.setIdleTimeout(std::chrono::seconds(idleSeconds));
  syslogServer.setQueueLimit(queueLimit);
  syslogServer.setAcknowledgeOnDelivery(true);

  std::atomic<bool> serving(true);
  std::atomic<bool> finished(false);
  std::atomic<bool> outputFailed(false);
  std::thread writer([&] {
    if (!writeNotifications(queue, serving)) {
      outputFailed = true;
      requestStop();
      // What still arrives has nowhere to go; the queue must not stop the
      // server's stop by staying full.
      queue.setLimit(0, nullptr, nullptr);
    }
  });
  std::thread signalWaiter([&] {
    int sig = 0;
    sigwait(&stopSignals, &sig);
    if (!finished.load()) requestStop();
  });

  int status = 0;
  try {
    syslogServer.run();
  } catch (const SyslogException& e) {
    say("cannot listen on port " + std::to_string(port) + " (" + e.what() + ")");
    status = 1;
  } catch (const std::exception& e) {
    say(e.what());
    status = 1;
  }
  serving = false;
  writer.join();
  finished = true;
  pthread_kill(signalWaiter.native_handle(), SIGTERM);  // no-op if it already left
  signalWaiter.join();
  return outputFailed ? 1 : status;
}
