// LogBatch: while one lives on a thread, write_log on that thread still
// writes each line whole under mutex_log_system but leaves the flush to the
// end of the batch (the destructor flushes the log stream under the same
// mutex). A drained burst of notifications then costs one write to the log
// file per stream buffer, not one per line. Lines written by other threads
// are flushed as before, and any flush also carries out what a batch holds.
// Batches nest; only the outermost one flushes. Not copyable, not movable:
// it belongs to the thread and scope that made it.
#ifndef NORV_DAEMON_LOGBATCH_H
#define NORV_DAEMON_LOGBATCH_H

class LogBatch {
 public:
  LogBatch();
  ~LogBatch();
  LogBatch(const LogBatch&) = delete;
  LogBatch& operator=(const LogBatch&) = delete;
};

#endif
