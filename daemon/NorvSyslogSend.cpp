// norv-syslog-send: relays every notification raised on the PostgreSQL
// channel "syslog" (or, in outbox mode, every row of norv_outbox) to a
// secure WebSocket receiver, one text message per payload. Runs in the
// foreground; ends on SIGTERM, SIGINT or SIGHUP
// (status 0), or when its database or receiver fails (status 1).
#include "daemon/NorvSyslogSend.h"

#include <fcntl.h>
#include <getopt.h>
#include <libpq-fe.h>
#include <malloc.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>

#include "base/EndProcess.h"
#include "base/MutexLock.h"
#include "config/iniConfig.h"
#include "daemon/LogFile.h"
#include "daemon/Outbox.h"
#include "database/pgConnectionParam.h"
#include "database/pgSafeThread.h"
#include "websocket/SyslogClient.h"

std::string pathToConfigFile = "/etc/norv/quillon.conf";
int debug = 0;
std::string connectLine;
pgSafeThread* dblistener = nullptr;
Outbox* outbox = nullptr;
SyslogClient* endpoint = nullptr;
pthread_t th_listener;
std::atomic<int> die_norv{0};
std::atomic<bool> listener_failed{false};
std::string receiverUri;
DaemonConfig daemonConfig;

namespace {

const char* const kStopLine = "stop Receiver... SIGTERM";
const char* const kNotThreadSafe = "Error: Postgresql is not thread safe";
// The signals that ask for an orderly stop.
const int kStopSignals[] = {SIGTERM, SIGINT, SIGHUP};
const int kKeptFreeMemory = 1 << 20;  // bytes, per malloc arena

// Set by the signal handler: main writes the handler's log line for it.
volatile sig_atomic_t stop_signal_received = 0;
// Wake-up pipe of the listener (see wakeReadFd).
int wakePipe[2] = {-1, -1};

// The log file while it is attached to std::cout, and what std::cout had
// before. Opened and closed by main.
LogFile logFile;
std::streambuf* consoleBuf = nullptr;

// Ends the process with everything written so far flushed: the sender's I/O
// thread may still be running (base/EndProcess.h).
[[noreturn]] void endProcess(int status) { norv::endProcess(&mutex_log_system, status); }

void parseOptions(int argc, char** argv) {
  if (argc <= 1) return;
  int c;
  while ((c = getopt(argc, argv, "f:D")) != -1) {
    if (c == 'f')
      pathToConfigFile = optarg;
    else if (c == 'D')
      debug = 1;
  }
}

// Standard error goes where standard output goes; then the log file is
// emptied and attached to std::cout. A log that cannot be opened leaves the
// lines on standard output, where a supervisor's journal keeps them.
void openLog(const std::string& path) {
  if (dup2(1, 2) < 0) {
    std::string text =
        std::string("erreur de redirection de flux stderr (dup2): ") + std::strerror(errno);
    std::cout << text << std::endl;
    perror(text.c_str());
    std::exit(2);
  }
  if (!logFile.open(path)) {
    std::cout << "ERROR can't open file " << path << std::endl;
    return;
  }
  norv::MutexLock lock(mutex_log_system);
  consoleBuf = std::cout.rdbuf(&logFile);
  logFile.setWakeFd(wakeWriteFd());
}

void closeLog() {
  norv::MutexLock lock(mutex_log_system);
  if (consoleBuf) std::cout.rdbuf(consoleBuf);
  logFile.close();
  std::cout << "Fin programme" << std::endl;
}

void installStopHandlers() {
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = HandlerQuit;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;
  for (int sig : kStopSignals) {
    if (sigaction(sig, &action, nullptr) != 0) {
      write_log("ERR", "error SIGTERM");
      endProcess(1);
    }
  }
}

std::string connectionLine(const DaemonConfig& c) {
  return norv::pgConnectionString(c.dbHost, c.dbPort, c.dbName, c.dbUser, c.dbPassword) + " " +
         norv::pgConnectionParam("connect_timeout", std::to_string(c.connectTimeoutSeconds));
}

// The configuration's numbers and switches checked, the database connection
// (and in outbox mode its table and function), the sender and the listener
// thread. False when a stop request came while it connected.
bool start() {
  if (!daemonConfig.report(write_log)) endProcess(1);
  std::string problem;
  write_log("INFO", "NORV Database connection ....");
  connectLine = connectionLine(daemonConfig);
  std::string error;
  norv::PgConn session = connectDatabase(connectLine, error);
  if (!session) {
    if (die_norv) return false;  // a stop came first: the usual stop, status 0
    throw PostgresqlException(error);
  }
  dblistener = new pgSafeThread(std::move(session));
  askForUtf8(dblistener->conn);
  write_log("INFO", "Connection database sucessful. Encoding: " + dblistener->getClientEncoding());
  if (daemonConfig.outbox) {
    outbox = new Outbox(dblistener->conn);
    if (!outbox->ensureSchema(problem)) {
      write_log("ERR", problem);
      endProcess(1);
    }
  }

  receiverUri = daemonConfig.receiverUri();
  write_log("INFO", "Connection SyslogClient....");
  endpoint = new SyslogClient(receiverUri);
  // Its lines join the log's buffer; the listener flushes them.
  endpoint->setOutputMutex(&mutex_log_system, false);
  endpoint->setWakeFd(wakeWriteFd());
  endpoint->setResumable(daemonConfig.resume);
  endpoint->setCaFile(daemonConfig.caFile);
  endpoint->setClientCertificate(daemonConfig.certFile, daemonConfig.keyFile);
  endpoint->connect();

  write_log("INFO", "INSTANCE Listener");
  int rc = pthread_create(&th_listener, nullptr, thread_listener_database, nullptr);
  if (rc != 0) {
    write_log("ERR", std::string("INSTANCE Listener failed: ") + std::strerror(rc));
    endProcess(1);
  }
  write_log("INFO", "INSTANCE Listener - Success");
  return true;
}

// After the listener's end: what it handed to the sender reaches the
// receiver (at most two seconds), in outbox mode the rows acknowledged are
// deleted, then the stop lines, the database
// connection closed, the log detached.
[[noreturn]] void shutdown() {
  if (endpoint && endpoint->getState() == SyslogClient::State::Open)
    endpoint->waitSent(std::chrono::milliseconds(2000));
  // The listener has ended: its connection is main's again.
  if (outbox && endpoint) outbox->finish(endpoint->getAcknowledgedMessages());
  // Taken from PostgreSQL, never acknowledged: said, not silently dropped.
  if (endpoint && daemonConfig.resume && endpoint->getUnacknowledgedMessages() > 0)
    write_log("ERR", "not delivered: " + std::to_string(endpoint->getUnacknowledgedMessages()) +
                         " message(s) (" + std::to_string(endpoint->getBufferedAmount()) +
                         " bytes) the receiver did not acknowledge");
  if (stop_signal_received) write_log("INFO", kStopLine);
  write_log("INFO", kStopLine);
  die_norv = 1;
  delete dblistener;
  dblistener = nullptr;
  closeLog();
  endProcess(listener_failed ? 1 : 0);
}

}  // namespace

// Asks the server to convert every text into UTF8, which a WebSocket text
// message must be. Not for SQL_ASCII, where the server converts nothing and
// would end the session at the first byte that is not UTF-8.
void askForUtf8(PGconn* conn) {
  const char* server = PQparameterStatus(conn, "server_encoding");
  if (!server || std::strcmp(server, "SQL_ASCII") == 0) return;
  if (std::strcmp(pg_encoding_to_char(PQclientEncoding(conn)), "UTF8") == 0) return;
  if (PQsetClientEncoding(conn, "UTF8") != 0)
    write_log("ERR", std::string("cannot set client encoding UTF8: ") + PQerrorMessage(conn));
}

bool logPending() { return logFile.pending(); }

void flushLog() {
  norv::MutexLock lock(mutex_log_system);
  std::cout.flush();
}

int wakeReadFd() { return wakePipe[0]; }
int wakeWriteFd() { return wakePipe[1]; }

void HandlerQuit(int) {
  int saved = errno;
  die_norv = 1;
  stop_signal_received = 1;
  if (wakePipe[1] >= 0) {
    ssize_t ignored = write(wakePipe[1], "", 1);
    (void)ignored;
  }
  errno = saved;
}

int main(int argc, char** argv) {
  // The sender's I/O thread builds each write's log entries in large buffers
  // that live for that one write. By default glibc hands such memory back to
  // the kernel when it is freed and faults it in again, zeroed, for the next
  // write; keeping up to kKeptFreeMemory of it spares that on every write of
  // a burst.
  mallopt(M_TRIM_THRESHOLD, kKeptFreeMemory);
  mallopt(M_MMAP_THRESHOLD, kKeptFreeMemory);
  parseOptions(argc, argv);
  pthread_mutex_init(&mutex_log_system, nullptr);
  if (pipe2(wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) wakePipe[0] = wakePipe[1] = -1;

  if (PQisthreadsafe() != 1) {
    write_log("ERR", kNotThreadSafe);
    std::cout << kNotThreadSafe << std::endl;
    return 1;
  }

  bool started = false;
  try {
    daemonConfig = readDaemonConfig(pathToConfigFile);
    openLog(daemonConfig.logFile);
    write_log("INFO", "Receiver start....");
    write_log("INFO", "Receiver configuration open succesful");
    installStopHandlers();
    started = start();
  } catch (const FileException& e) {
    {
      norv::MutexLock lock(mutex_log_system);
      std::cout << e.what() << std::endl;
    }
    endProcess(1);
  } catch (const PostgresqlException& e) {
    write_log("ERR", std::string("POSTGRESQL exception: ") + e.what());
    endProcess(1);
  } catch (const std::exception& e) {
    write_log("ERR", std::string("start-up failed: ") + e.what());
    endProcess(1);
  }

  if (started) pthread_join(th_listener, nullptr);
  shutdown();
}
