// norv-syslog-send: relays every notification raised on the PostgreSQL
// channel "syslog" to a secure WebSocket receiver, one text message per
// payload. Runs in the foreground; ends on SIGTERM (status 0), or when its
// database or receiver fails (status 1).
#include "daemon/NorvSyslogSend.h"

#include <fcntl.h>
#include <getopt.h>
#include <libpq-fe.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>

#include "config/PthreadLock.h"
#include "config/iniConfig.h"
#include "database/pgConnectionParam.h"
#include "database/pgSafeThread.h"
#include "websocket/SyslogClient.h"

std::string pathToConfigFile = "/etc/norv/quillon.conf";
int debug = 0;
std::string connectLine;
pgSafeThread* dblistener = nullptr;
SyslogClient* endpoint = nullptr;
pthread_t th_listener;
std::atomic<int> die_norv{0};
std::atomic<bool> listener_failed{false};
std::string receiverUri;

namespace {

const char* const kStopLine = "stop Receiver... SIGTERM";
const char* const kNotThreadSafe = "Error: Postgresql is not thread safe";

// Set by the signal handler: main writes the handler's log line for it.
volatile sig_atomic_t sigterm_received = 0;
// Self-pipe: the handler writes a byte, the listener's poll wakes up.
int wakePipe[2] = {-1, -1};

// Ends the process with everything written so far flushed. The sender's I/O
// thread may still be running, so no static destructor may run behind it:
// the log mutex is taken and kept, so no other thread's line starts, and the
// process ends with _exit.
[[noreturn]] void endProcess(int status) {
  pthread_mutex_lock(&mutex_log_system);
  std::cout.flush();
  std::fflush(nullptr);
  _exit(status);
}

// Shutdown's first step: the stop line, and the flag for anyone still looking.
void logStopRequest() {
  write_log("INFO", kStopLine);
  die_norv = 1;
}

// Lets what was handed to the sender reach the receiver before the process
// ends: at most two seconds.
void drainSender() {
  if (endpoint && endpoint->getState() == SyslogClient::State::Open)
    endpoint->waitSent(std::chrono::milliseconds(2000));
}

std::string connectionLine(iniConfig& config) {
  return pgConnectionParam("host", config.getKey("DB", "PGSQL_host")) + " " +
         pgConnectionParam("port", config.getKey("DB", "PGSQL_port")) + " " +
         pgConnectionParam("dbname", config.getKey("DB", "PGSQL_db")) + " " +
         pgConnectionParam("user", config.getKey("DB", "PGSQL_username")) + " " +
         pgConnectionParam("password", config.getKey("DB", "PGSQL_pwd"));
}

}  // namespace

int stopWakeFd() { return wakePipe[0]; }

void HandlerQuit(int) {
  int saved = errno;
  die_norv = 1;
  sigterm_received = 1;
  if (wakePipe[1] >= 0) {
    ssize_t ignored = write(wakePipe[1], "", 1);
    (void)ignored;
  }
  errno = saved;
}

int main(int argc, char** argv) {
  if (argc > 1) {
    int c;
    while ((c = getopt(argc, argv, "f:D")) != -1) {
      if (c == 'f')
        pathToConfigFile = optarg;
      else if (c == 'D')
        debug = 1;
    }
  }

  pthread_mutex_init(&mutex_log_system, nullptr);

  if (PQisthreadsafe() != 1) {
    write_log("ERR", kNotThreadSafe);
    std::cout << kNotThreadSafe << std::endl;
    return 1;
  }

  iniConfig config(pathToConfigFile);
  std::ofstream logFile;
  std::string logPath;
  std::streambuf* consoleBuf = nullptr;
  try {
    logPath = config.getKey("LOG", "log_file");

    if (dup2(1, 2) < 0) {
      std::string text = std::string("erreur de redirection de flux stderr (dup2): ") + std::strerror(errno);
      std::cout << text << std::endl;
      perror(text.c_str());
      return 2;
    }

    logFile.open(logPath, std::ios::out | std::ios::trunc);
    if (!logFile.is_open()) std::cout << "ERROR can't open file " << logPath << std::endl;
    {
      PthreadLock lock(mutex_log_system);
      consoleBuf = std::cout.rdbuf(logFile.rdbuf());
    }

    write_log("INFO", "Receiver start....");
    write_log("INFO", "Receiver configuration open succesful");

    if (pipe2(wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) wakePipe[0] = wakePipe[1] = -1;
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = HandlerQuit;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    if (sigaction(SIGTERM, &action, nullptr) != 0) {
      write_log("ERR", "error SIGTERM");
      endProcess(1);
    }

    write_log("INFO", "NORV Database connection ....");
    connectLine = connectionLine(config);
    dblistener = new pgSafeThread(connectLine);
    write_log("INFO", "Connection database sucessful. Encoding: " + dblistener->getClientEncoding());

    receiverUri = "wss://" + config.getKey("RECEIVER", "ip") + ":" + config.getKey("RECEIVER", "port");
    write_log("INFO", "Connection SyslogClient....");
    endpoint = new SyslogClient(receiverUri);
    endpoint->setOutputMutex(&mutex_log_system);
    endpoint->setCaFile(config.getKey("RECEIVER", "ca_file"));
    endpoint->setClientCertificate(config.getKey("RECEIVER", "cert_file"),
                                   config.getKey("RECEIVER", "key_file"));
    endpoint->connect();

    write_log("INFO", "INSTANCE Listener");
    int rc = pthread_create(&th_listener, nullptr, thread_listener_database, nullptr);
    if (rc != 0) {
      write_log("ERR", std::string("INSTANCE Listener failed: ") + std::strerror(rc));
      endProcess(1);
    }
    write_log("INFO", "INSTANCE Listener - Success");
  } catch (const FileException& e) {
    {
      PthreadLock lock(mutex_log_system);
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

  pthread_join(th_listener, nullptr);

  drainSender();
  if (sigterm_received) write_log("INFO", kStopLine);
  logStopRequest();
  delete dblistener;
  dblistener = nullptr;
  {
    PthreadLock lock(mutex_log_system);
    std::cout.rdbuf(consoleBuf);
    logFile.close();
    std::cout << "Fin programme" << std::endl;
  }
  endProcess(listener_failed ? 1 : 0);
}
