// The notifier daemon's process-wide state and the functions its threads
// share: the log, the stop request, and the listener thread's body.
//
// Threads: main (start-up, join, shutdown), the listener (database to sender),
// and the sender client's I/O thread. Everything below is set by main before
// the listener starts and is not replaced while it runs.
#ifndef NORV_DAEMON_NORVSYSLOGSEND_H
#define NORV_DAEMON_NORVSYSLOGSEND_H

#include <poll.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <initializer_list>
#include <string>
#include <string_view>

#include "base/Mutex.h"
#include "daemon/DaemonConfig.h"
#include "database/PgHandles.h"

class Outbox;
class pgSafeThread;
class SyslogClient;
struct pg_conn;

extern std::string pathToConfigFile;
extern int debug;
// Serialises log lines: held for exactly one line (or one batch of whole
// lines), never while another lock is taken. The sender client takes it too,
// for its own lines and its library's log lines.
extern norv::PthreadMutex mutex_log_system;
extern std::string connectLine;
extern pgSafeThread* dblistener;  // owned by main; deleted after the join
// In outbox mode ([DB] source=outbox) the outbox on dblistener's connection,
// made by main before the listener starts; null in notify mode. Never
// deleted (the process ends with _exit).
extern Outbox* outbox;
extern SyslogClient* endpoint;     // never deleted; its I/O thread ends with the process
extern std::string receiverUri;    // the URI endpoint was made for, for messages
extern DaemonConfig daemonConfig;  // read once by main before the listener starts
extern pthread_t th_listener;
// Stop flag: 0 while running, 1 once a stop was requested; never reset.
extern std::atomic<int> die_norv;
static_assert(std::atomic<int>::is_always_lock_free, "die_norv is written from a signal handler");

// Set by the listener when it ends on an error (database, receiver), so that
// main's shutdown ends with status 1 instead of 0.
extern std::atomic<bool> listener_failed;

// The listener's wake-up pipe: the stop handler and the sender client write a
// byte to wakeWriteFd(); the listener waits on wakeReadFd() beside its
// database socket and drains it.
int wakeReadFd();
int wakeWriteFd();

// Asks the server to convert every text into UTF8 (see NorvSyslogSend.cpp);
// again after the connection was opened again.
void askForUtf8(pg_conn* conn);

// Waits until the wake-up pipe has a byte, `sock` (if >= 0) is ready for
// `events` (then true), or the time is up; empties the pipe. A signal that
// cuts the wait short just ends it. Log lines that wait in the buffer are
// written first, or within a few milliseconds.
bool waitFor(int sock, std::chrono::milliseconds timeout, short events = POLLIN);
// Opens a database session without keeping a stop waiting: libpq's
// non-blocking connect, watched beside the wake-up pipe, bounded by [DB]
// connect_timeout. Null, with the reason in `error`, when it fails, times
// out or a stop request comes first (die_norv).
norv::PgConn connectDatabase(const std::string& conninfo, std::string& error);
// The same for the listener's session `conn`, opened again (PQresetStart).
bool reopenDatabase(pg_conn* conn, std::string& error);

void write_log(std::string level, std::string message);
// write_log with the message given in parts, made into the line directly.
void logLine(std::string_view level, std::initializer_list<std::string_view> message);
// Log lines written without a flush (the sender's, from its I/O thread) are
// waiting; flushLog() writes them out.
bool logPending();
void flushLog();
void Trace(std::string message);
// The handler of SIGTERM, SIGINT and SIGHUP: async-signal-safe, it only
// records the request and wakes the listener. Its log line is written later
// by main, outside signal context.
void HandlerQuit(int signal);
void* thread_listener_database(void* arg);

#endif
