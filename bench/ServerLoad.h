// The receiving server alone: how many messages a second a SyslogServer puts
// into its queue when `clients` TLS WebSocket clients send to it as fast as
// their connections take them. Everything it starts (server, loop threads,
// clients, the queue's consumer) is stopped before it returns.
#ifndef NORV_BENCH_SERVERLOAD_H
#define NORV_BENCH_SERVERLOAD_H

#include <string>

namespace bench {

struct ServerLoadResult {
  bool measured = false;
  std::string note;  // why not measured
  double perSecond = 0;
  long messages = 0;
};

ServerLoadResult measureServer(const std::string& certFile, const std::string& keyFile, int clients,
                               int threadCount, double seconds);

}  // namespace bench

#endif
