// norv-syslog-receive: a receiver for the notification channel. It embeds a
// SyslogServer, writes one line to standard error once it listens, then every
// received notification as one JSON line {"host":...,"payload":...} on
// standard output, in queue order, flushed whenever the queue runs empty.
// SIGINT or SIGTERM stops the server; the program exits 0 once the queue is
// written out.
//
// Threads: main runs the server (and its I/O loop when --threads is 1); a
// signal thread waits for SIGINT/SIGTERM (blocked everywhere else) and stops
// the server; a writer thread empties the queue onto standard output.
#include <getopt.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

#include <json/json.h>

#include "websocket/ServerTlsContext.h"
#include "websocket/SyslogServer.h"

namespace {

const char kProgram[] = "norv-syslog-receive";

// Built once before the server starts; shared by every connection.
std::shared_ptr<boost::asio::ssl::context> tlsContext;

std::shared_ptr<boost::asio::ssl::context> contextForConnection(int, std::weak_ptr<void>) {
  return tlsContext;
}

// A stop may be asked for before the server listens: it is then carried out
// as soon as listening starts. stopMutex guards the two flags and the call.
SyslogServer* server = nullptr;
std::mutex stopMutex;
bool listening = false;
bool stopRequested = false;

void stopServerLocked() {
  listening = false;
  try {
    server->stop();
  } catch (const std::exception& e) {
    std::cerr << kProgram << ": stop: " << e.what() << std::endl;
  }
}

void requestStop() {
  std::lock_guard<std::mutex> lock(stopMutex);
  stopRequested = true;
  if (listening) stopServerLocked();
}

void onListening(int port) {
  std::cerr << kProgram << ": listening on port " << port << std::endl;
  std::lock_guard<std::mutex> lock(stopMutex);
  listening = true;
  if (stopRequested) stopServerLocked();
}

[[noreturn]] void usage(const std::string& problem) {
  if (!problem.empty()) std::cerr << kProgram << ": " << problem << "\n";
  std::cerr << "usage: " << kProgram
            << " --cert FILE --key FILE [--client-ca FILE] [--port N (default 8443)] [--threads N (default 1)]"
            << std::endl;
  std::exit(2);
}

int parseNumber(const char* option, const char* text, long low, long high) {
  errno = 0;
  char* end = nullptr;
  long value = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || value < low || value > high)
    usage(std::string("--") + option + " wants a number from " + std::to_string(low) + " to " +
          std::to_string(high) + ", not '" + text + "'");
  return static_cast<int>(value);
}

// One output line: what jsoncpp's stream writer makes of the object
// {"host":...,"payload":...} without indentation (members in key order,
// strings quoted by the same function), without building the object. A text
// holding a NUL byte takes the writer's own path: the quoting function stops
// at the first NUL.
void appendLine(std::string& out, const notification& n, Json::StreamWriter& writer) {
  if (n.host.find('\0') == std::string::npos && n.payload.find('\0') == std::string::npos) {
    out += "{\"host\":";
    out += Json::valueToQuotedString(n.host.c_str());
    out += ",\"payload\":";
    out += Json::valueToQuotedString(n.payload.c_str());
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
// empty (or the batch passes kBatchBytes), instead of one write per line.
void writeNotifications(ExecuteQueue<notification>& queue, const std::atomic<bool>& serving) {
  const std::string::size_type kBatchBytes = 64 * 1024;
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  const std::unique_ptr<Json::StreamWriter> writer(builder.newStreamWriter());
  std::string batch;
  notification n;
  for (;;) {
    if (!queue.tryPop(n)) {
      if (!batch.empty()) {
        std::cout.write(batch.data(), static_cast<std::streamsize>(batch.size()));
        std::cout.flush();
        batch.clear();
      }
      if (!queue.popFor(n, std::chrono::milliseconds(200))) {
        if (!serving.load()) return;  // run() has returned: nothing more can come
        continue;
      }
    }
    appendLine(batch, n, *writer);
    if (batch.size() >= kBatchBytes) {
      std::cout.write(batch.data(), static_cast<std::streamsize>(batch.size()));
      batch.clear();
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  // Standard output gets a buffer of its own instead of a stdio call per
  // insertion; nothing here writes to it through stdio.
  std::ios::sync_with_stdio(false);
  int port = 8443;
  int threads = 1;
  std::string cert;
  std::string key;
  std::string clientCa;
  const option options[] = {{"port", required_argument, nullptr, 'p'},
                            {"threads", required_argument, nullptr, 't'},
                            {"cert", required_argument, nullptr, 'c'},
                            {"key", required_argument, nullptr, 'k'},
                            {"client-ca", required_argument, nullptr, 'a'},
                            {"help", no_argument, nullptr, 'h'},
                            {nullptr, 0, nullptr, 0}};
  opterr = 0;
  int opt;
  while ((opt = getopt_long(argc, argv, "", options, nullptr)) != -1) {
    switch (opt) {
      case 'p': port = parseNumber("port", optarg, 0, 65535); break;
      case 't': threads = parseNumber("threads", optarg, 1, 256); break;
      case 'c': cert = optarg; break;
      case 'k': key = optarg; break;
      case 'a': clientCa = optarg; break;
      case 'h': usage("");
      default: usage(std::string("unknown or incomplete option '") + argv[optind - 1] + "'");
    }
  }
  if (optind < argc) usage(std::string("unexpected argument '") + argv[optind] + "'");
  if (cert.empty() || key.empty()) usage("--cert and --key are required");
  try {
    tlsContext = makeServerTlsContext(cert, key, clientCa);
  } catch (const std::exception& e) {
    std::cerr << kProgram << ": " << e.what() << std::endl;
    return 2;
  }

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

  std::atomic<bool> serving(true);
  std::atomic<bool> finished(false);
  std::thread writer(writeNotifications, std::ref(queue), std::cref(serving));
  std::thread signalWaiter([&] {
    int sig = 0;
    sigwait(&stopSignals, &sig);
    if (!finished.load()) requestStop();
  });

  int status = 0;
  try {
    syslogServer.run();
  } catch (const SyslogException& e) {
    std::cerr << kProgram << ": cannot listen on port " << port << " (" << e.what() << ")"
              << std::endl;
    status = 1;
  } catch (const std::exception& e) {
    std::cerr << kProgram << ": " << e.what() << std::endl;
    status = 1;
  }
  serving = false;
  writer.join();
  finished = true;
  pthread_kill(signalWaiter.native_handle(), SIGTERM);  // no-op if it already left
  signalWaiter.join();
  return status;
}
