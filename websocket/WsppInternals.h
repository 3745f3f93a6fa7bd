// The places where this library relies on how websocketpp 0.8.2 works inside,
// beyond what its documentation promises. Every such use is here, with the
// invariant it relies on, so that an upgrade of the library is checked in one
// place: the static_assert below fails the build on any other version.
// Internal to the library (not installed).
#ifndef NORV_WEBSOCKET_WSPPINTERNALS_H
#define NORV_WEBSOCKET_WSPPINTERNALS_H

#include <websocketpp/config/asio.hpp>
#include <websocketpp/server.hpp>
#include <websocketpp/version.hpp>

static_assert(websocketpp::major_version == 0 && websocketpp::minor_version == 8 &&
                  websocketpp::patch_version == 2,
              "websocket/WsppInternals.h relies on websocketpp 0.8.2's internals: check each "
              "function there against the new version before changing this line");

namespace norv {
namespace wspp {

using server_type = websocketpp::server<websocketpp::config::asio_tls>;
using server_connection = server_type::connection_ptr;

// Starts accepting one connection into a fresh connection object and calls
// done(con, ec) in that connection's strand when the accept completes. The
// endpoint's own loop (start_accept/handle_accept) restarts at once after any
// error and cannot be paced, so it spins when descriptors run out; this takes
// over its first step, and the caller finishes it with startAccepted or
// dropAccepted. A null connection object (the TLS factory gave no context)
// is reported as con_creation_failed.
// Invariant: the transport's async_accept and stop_listening use the acceptor
// without a lock of their own, so the caller must never run them at the same
// time (SyslogServer runs both in one strand).
template <class Done>
websocketpp::lib::error_code acceptOne(server_type& endpoint, Done done) {
  server_connection con = endpoint.get_connection();
  if (!con) return websocketpp::error::make_error_code(websocketpp::error::con_creation_failed);
  websocketpp::lib::error_code ec;
  endpoint.async_accept(
      websocketpp::lib::static_pointer_cast<server_type::transport_con_type>(con),
      [con, done](const websocketpp::lib::error_code& acceptEc) { done(con, acceptEc); }, ec);
  // A connection object that was made must be started or terminated, or it
  // is never released.
  if (ec) con->terminate(websocketpp::lib::error_code());
  return ec;
}

// The rest of handle_accept for an accepted connection: `ended` runs once, in
// the connection's strand, when the connection is over (its socket shut down),
// whether it opened or failed.
template <class Ended>
void startAccepted(const server_connection& con, Ended ended) {
  con->set_termination_handler([ended](server_connection) { ended(); });
  con->start();
}

// Closes an accepted connection at once, before its TLS handshake (or one
// whose accept failed), and releases it.
inline void dropAccepted(const server_connection& con, const websocketpp::lib::error_code& ec) {
  con->terminate(ec);
}

// Stops reading from `con`. Only from within the connection's message
// handler: that handler runs in the connection's strand, inside
// handle_read_frame, which issues the next read after the handler returns and
// only while the read flag is set. Clearing the flag there directly (the
// public pause_reading() merely posts this) leaves no read in flight once the
// handler's frame is done, which resumeReading relies on. With no operation
// in flight nothing inside the library keeps the connection alive any more:
// the caller must hold the pointer until it resumes it.
inline void pauseReadingInMessageHandler(const server_connection& con) {
  con->handle_pause_reading();
}

// Reads again. Only for a connection paused by pauseReadingInMessageHandler,
// once: resume_reading always issues a read, and a second read in flight
// would corrupt the connection's buffer.
inline void resumeReading(const server_connection& con) {
  if (con->get_state() == websocketpp::session::state::open) con->resume_reading();
}

// Asks an open connection to close (1000, no reason) in its own strand:
// close() changes the connection's timers without a lock, so with several
// loop threads it must not run beside the connection's handlers. Returns the
// error of a close made at once (inStrand false: only when no other thread
// runs the loop).
inline websocketpp::lib::error_code closeNormally(const server_connection& con, bool inStrand) {
  websocketpp::lib::error_code ec;
  if (inStrand) {
    boost::asio::post(*con->get_strand(), [con] {
      websocketpp::lib::error_code ignored;
      if (con->get_state() == websocketpp::session::state::open)
        con->close(websocketpp::close::status::normal, "", ignored);
    });
  } else if (con->get_state() == websocketpp::session::state::open) {
    con->close(websocketpp::close::status::normal, "", ec);
  }
  return ec;
}

}  // namespace wspp
}  // namespace norv

#endif
