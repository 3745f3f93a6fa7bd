// norv-bench-bare-relay: the burst benchmark's second limit. It does the
// daemon's job with none of our code (libpq, Boost.Beast for the opening
// handshake, OpenSSL, frames built by hand), so that the daemon's rate can be
// set beside what a plain relay reaches on the same machine in the same run:
// LISTEN syslog, each payload as one masked WebSocket text message over TLS
// 1.2, and the same log volume as the daemon (a line per notification and a
// dump of every write in the access log's style). Never installed.
//
//   norv-bench-bare-relay wss://HOST:PORT LOGFILE [--count N]
//
// libpq's parameters come from the environment. It says "ready" on standard
// error once it listens and the WebSocket is open; on SIGTERM or SIGINT, or
// once N notifications are relayed, it closes the connection and prints
// "cpu=SECONDS hwm=KB" on standard error, like the bare libpq client.
#include <fcntl.h>
#include <libpq-fe.h>
#include <poll.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

namespace asio = boost::asio;
namespace ssl = boost::asio::ssl;
using tcp = boost::asio::ip::tcp;

namespace {

volatile sig_atomic_t stopRequested = 0;
int wakeWrite = -1;  // the self-pipe's writing end: a signal wakes the poll

void onSignal(int) {
  stopRequested = 1;
  const char byte = 0;
  ssize_t ignored = write(wakeWrite, &byte, 1);
  (void)ignored;
}

// Mask keys must be unpredictable (RFC 6455 10.3), so they come from the
// kernel's generator; taken 4 KiB at a time, that is one system call per
// 1 024 frames.
class MaskSource {
 public:
  const unsigned char* next() {
    if (used_ == sizeof pool_) refill();
    used_ += 4;
    return pool_ + used_ - 4;
  }

 private:
  void refill() {
    for (std::size_t got = 0; got < sizeof pool_;) {
      ssize_t n = getrandom(pool_ + got, sizeof pool_ - got, 0);
      if (n < 0 && errno != EINTR) throw std::runtime_error("getrandom failed");
      if (n > 0) got += static_cast<std::size_t>(n);
    }
    used_ = 0;
  }
  unsigned char pool_[4096];
  std::size_t used_ = sizeof pool_;
};

// Where one frame's header and payload lie in the cycle's buffer.
struct Frame {
  std::size_t headerAt, headerSize, payloadAt, payloadSize;
};

// Appends one masked client frame (RFC 6455 5.2): FIN with the opcode, the
// mask bit with a 7, 16 or 64-bit length, the key, then the payload XORed
// with the key, 8 bytes at a time.
Frame appendFrame(std::string& out, unsigned opcode, const char* data, std::size_t size,
                  const unsigned char* key) {
  unsigned char header[14];
  std::size_t h = 0;
  header[h++] = static_cast<unsigned char>(0x80 | opcode);
  if (size < 126) {
    header[h++] = static_cast<unsigned char>(0x80 | size);
  } else if (size <= 0xFFFF) {
    header[h++] = 0x80 | 126;
    header[h++] = static_cast<unsigned char>(size >> 8);
    header[h++] = static_cast<unsigned char>(size);
  } else {
    header[h++] = 0x80 | 127;
    for (int shift = 56; shift >= 0; shift -= 8)
      header[h++] = static_cast<unsigned char>(static_cast<std::uint64_t>(size) >> shift);
  }
  std::memcpy(header + h, key, 4);
  h += 4;
  Frame f{out.size(), h, out.size() + h, size};
  out.append(reinterpret_cast<const char*>(header), h);
  out.resize(out.size() + size);
  char* to = &out[f.payloadAt];
  unsigned char key8[8];
  std::memcpy(key8, key, 4);
  std::memcpy(key8 + 4, key, 4);
  std::uint64_t mask;
  std::memcpy(&mask, key8, 8);
  std::size_t i = 0;
  for (; i + 8 <= size; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, data + i, 8);
    word ^= mask;
    std::memcpy(to + i, &word, 8);
  }
  for (; i < size; ++i) to[i] = static_cast<char>(data[i] ^ key8[i % 4]);
  return f;
}

// The two time layouts of the daemon's log, made once a second: asctime's
// for the relay's lines, "%Y-%m-%d %H:%M:%S" for the access-log entries.
struct Stamp {
  time_t second = -1;
  char asc[32] = {0};
  char iso[32] = {0};

  void refresh() {
    time_t t = time(nullptr);
    if (t == second) return;
    struct tm local;
    localtime_r(&t, &local);
    asctime_r(&local, asc);
    if (char* nl = std::strrchr(asc, '\n')) *nl = '\0';
    std::strftime(iso, sizeof iso, "%Y-%m-%d %H:%M:%S", &local);
    second = t;
  }
};

void appendEntryStart(std::string& log, const Stamp& stamp, const char* channel) {
  log.append(1, '[').append(stamp.iso).append("] [").append(channel).append("] ");
}

// The access log's dump of one write, as the daemon's WebSocket library
// writes it: a summary entry, the headers in hex, the (masked) payloads.
void appendDump(std::string& log, const Stamp& stamp, const std::string& wire,
                const std::vector<Frame>& frames) {
  static const char hex[] = "0123456789ABCDEF";
  std::size_t headerBytes = 0, payloadBytes = 0;
  for (const Frame& f : frames) headerBytes += f.headerSize, payloadBytes += f.payloadSize;
  appendEntryStart(log, stamp, "frame_header");
  log.append("Dispatching write containing ")
      .append(std::to_string(frames.size()))
      .append(" message(s) containing ")
      .append(std::to_string(headerBytes))
      .append(" header bytes and ")
      .append(std::to_string(payloadBytes))
      .append(" payload bytes\n");
  appendEntryStart(log, stamp, "frame_header");
  log.append("Header Bytes: \n");
  for (std::size_t i = 0; i < frames.size(); ++i) {
    const Frame& f = frames[i];
    log.append(1, '[').append(std::to_string(i)).append("] (");
    log.append(std::to_string(f.headerSize)).append(") ");
    for (std::size_t b = 0; b < f.headerSize; ++b) {
      unsigned char c = static_cast<unsigned char>(wire[f.headerAt + b]);
      const char text[3] = {hex[c >> 4], hex[c & 0x0F], ' '};
      log.append(text, 3);
    }
    log.append(1, '\n');
  }
  log.append(1, '\n');
  appendEntryStart(log, stamp, "frame_payload");
  log.append("Payload Bytes: \n");
  for (std::size_t i = 0; i < frames.size(); ++i) {
    const Frame& f = frames[i];
    log.append(1, '[').append(std::to_string(i)).append("] (");
    log.append(std::to_string(f.payloadSize)).append(") [1] ");
    log.append(wire, f.payloadAt, f.payloadSize).append(1, '\n');
  }
  log.append(1, '\n');
}

bool writeAll(int fd, const std::string& text) {
  for (std::size_t done = 0; done < text.size();) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno != EINTR) return false;
    if (n > 0) done += static_cast<std::size_t>(n);
  }
  return true;
}

int usage() {
  std::cerr << "usage: norv-bench-bare-relay wss://HOST:PORT LOGFILE [--count N]\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 && !(argc == 5 && std::strcmp(argv[3], "--count") == 0)) return usage();
  const long count = argc == 5 ? std::atol(argv[4]) : 0;  // 0: until a signal
  std::string uri = argv[1];
  if (uri.compare(0, 6, "wss://") != 0) return usage();
  std::string hostPort = uri.substr(6), target = "/";
  if (std::size_t slash = hostPort.find('/'); slash != std::string::npos) {
    target = hostPort.substr(slash);
    hostPort.resize(slash);
  }
  std::size_t colon = hostPort.rfind(':');
  if (colon == std::string::npos) return usage();
  const std::string host = hostPort.substr(0, colon), port = hostPort.substr(colon + 1);

  // Emptied, then appended to, as the daemon does with its log.
  int logFd = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (logFd >= 0) close(logFd);
  logFd = open(argv[2], O_WRONLY | O_APPEND | O_CLOEXEC);
  if (logFd < 0) {
    std::perror(argv[2]);
    return 1;
  }

  int wake[2];
  if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) return 1;
  wakeWrite = wake[1];
  struct sigaction action = {};
  action.sa_handler = onSignal;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);

  PGconn* conn = PQconnectdb("");
  if (PQstatus(conn) != CONNECTION_OK) {
    std::cerr << "cannot connect to PostgreSQL: " << PQerrorMessage(conn);
    PQfinish(conn);
    return 1;
  }

  // TLS 1.2 without verifying the certificate, like the daemon's default.
  asio::io_context io;
  ssl::context tls(ssl::context::tlsv12_client);
  tls.set_verify_mode(ssl::verify_none);
  boost::beast::websocket::stream<ssl::stream<tcp::socket>> ws(io, tls);
  tcp::socket& socket = ws.next_layer().next_layer();
  try {
    tcp::resolver resolver(io);
    asio::connect(socket, resolver.resolve(host, port));
    socket.set_option(tcp::no_delay(true));  // the daemon's too: a lone record must not wait
    ws.next_layer().handshake(ssl::stream_base::client);
    ws.handshake(hostPort, target);
  } catch (const std::exception& e) {
    std::cerr << "cannot open " << uri << ": " << e.what() << "\n";
    PQfinish(conn);
    return 1;
  }

  PGresult* listen = PQexec(conn, "LISTEN syslog");
  bool listening = PQresultStatus(listen) == PGRES_COMMAND_OK;
  PQclear(listen);
  if (!listening) {
    std::cerr << "LISTEN failed: " << PQerrorMessage(conn);
    PQfinish(conn);
    return 1;
  }
  std::cerr << "ready" << std::endl;

  MaskSource masks;
  Stamp stamp;
  std::string wire, log;  // one drained cycle's frames and log text, reused
  std::vector<Frame> frames;
  long relayed = 0;
  int status = 0;
  pollfd fds[2] = {{PQsocket(conn), POLLIN, 0}, {wake[0], POLLIN, 0}};
  while (!stopRequested && (count <= 0 || relayed < count)) {
    // Sleeps until PostgreSQL sends or a signal writes to the pipe.
    if (poll(fds, 2, -1) < 0 && errno != EINTR) break;
    if (stopRequested) break;
    if (!PQconsumeInput(conn)) {
      std::cerr << "PostgreSQL connection lost: " << PQerrorMessage(conn);
      status = 1;
      break;
    }
    wire.clear();
    log.clear();
    frames.clear();
    stamp.refresh();
    while (PGnotify* n = PQnotifies(conn)) {
      const std::size_t size = std::strlen(n->extra);
      log.append(stamp.asc).append("#INFO#th_listener#Receive#").append(n->relname);
      log.append(1, '#').append(n->extra, size).append(1, '\n');
      frames.push_back(appendFrame(wire, 0x1, n->extra, size, masks.next()));
      PQfreemem(n);
    }
    if (frames.empty()) continue;
    relayed += static_cast<long>(frames.size());
    appendDump(log, stamp, wire, frames);
    // All of the cycle's frames in one write to the TLS stream, beneath
    // Beast: as large records as the buffer allows, and no per-message work.
    // It blocks while the receiver does not read, which leaves further
    // notifications in PostgreSQL (back-pressure, as in the daemon).
    boost::system::error_code ec;
    asio::write(ws.next_layer(), asio::buffer(wire), ec);
    if (ec) {
      std::cerr << "write to the receiver failed: " << ec.message() << "\n";
      status = 1;
      break;
    }
    if (!writeAll(logFd, log)) {
      std::perror("log");
      status = 1;
      break;
    }
  }

  if (status == 0) {
    // Beast's closing handshake (close frame, the receiver's reply, TLS
    // close_notify), asynchronous so that it is bounded: at most 2 s. Beast
    // never wrote on this stream since its handshake, so its state holds.
    ws.async_close(boost::beast::websocket::close_code::normal,
                   [](const boost::system::error_code&) {});
    io.run_for(std::chrono::seconds(2));
  }
  PQfinish(conn);
  close(logFd);

  rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
               static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  std::cerr << "relayed=" << relayed << " cpu=" << cpu << " hwm=" << usage.ru_maxrss << std::endl;
  return status;
}
