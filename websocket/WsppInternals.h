// The places where this library relies on how websocketpp 0.8.2 works inside,
// beyond what its documentation promises. Every such use is here, with the
// invariant it relies on, so that an upgrade of the library is checked in one
// place: the static_assert below fails the build on any other version.
// Internal to the library (not installed).
#ifndef NORV_WEBSOCKET_WSPPINTERNALS_H
#define NORV_WEBSOCKET_WSPPINTERNALS_H

#include <boost/asio/post.hpp>
#include <cstdint>
#include <cstring>
#include <string>
#include <websocketpp/client.hpp>
#include <websocketpp/config/asio.hpp>
#include <websocketpp/config/asio_client.hpp>
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

// Starts accepting one connection on `listener`'s acceptor into a fresh
// connection object of `owner` (an endpoint with an I/O context of its own,
// or the listener itself) and calls done(con, ec) in that connection's
// strand, on the owner's loop, when the accept completes. Asio accepts into
// a socket of another I/O context; the connection then lives on its owner's
// loop alone. The endpoint's own loop (start_accept/handle_accept) restarts
// at once after any error and cannot be paced, so it spins when descriptors
// run out; this takes over its first step, and the caller finishes it with
// startAccepted or dropAccepted. A null connection object (the TLS factory
// gave no context) is reported as con_creation_failed.
// Invariant: the transport's async_accept and stop_listening use the acceptor
// without a lock of their own, so the caller must never run them at the same
// time (SyslogServer runs both in one strand).
template <class Done>
websocketpp::lib::error_code acceptOne(server_type& listener, server_type& owner, Done done) {
  server_connection con = owner.get_connection();
  if (!con) return websocketpp::error::make_error_code(websocketpp::error::con_creation_failed);
  websocketpp::lib::error_code ec;
  listener.async_accept(
      websocketpp::lib::static_pointer_cast<server_type::transport_con_type>(con),
      [con, done](const websocketpp::lib::error_code& acceptEc) { done(con, acceptEc); }, ec);
  // A connection object that was made must be started or terminated, or it
  // is never released.
  if (ec) con->terminate(websocketpp::lib::error_code());
  return ec;
}

// The rest of handle_accept for an accepted connection, in its strand:
// `ended` runs once, in the connection's strand, when the connection is over
// (its socket shut down), whether it opened or failed.
template <class Ended>
void startAccepted(const server_connection& con, Ended ended) {
  con->set_termination_handler([ended](server_connection) { ended(); });
  con->start();
}

// Closes an accepted connection (one whose accept failed, say) before its
// TLS handshake, in its strand, and releases it.
inline void dropAccepted(const server_connection& con, const websocketpp::lib::error_code& ec) {
  boost::asio::post(*con->get_strand(), [con, ec] { con->terminate(ec); });
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

// Reads again, from any thread (the work is posted to the connection's
// strand). Only for a connection paused by pauseReadingInMessageHandler,
// once: resume_reading always issues a read, and a second read in flight
// would corrupt the connection's buffer.
inline void resumeReading(const server_connection& con) {
  boost::asio::post(*con->get_strand(), [con] {
    if (con->get_state() == websocketpp::session::state::open) con->resume_reading();
  });
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

using client_type = websocketpp::client<websocketpp::config::asio_tls_client>;

// Makes `size` bytes of text into one frame of `con` that websocketpp
// writes as it is, for con->send() on the connection's I/O thread (see
// below). A message marked prepared skips the processor (its masking, its
// UTF-8 check, its copy) and is queued and written whole, header then
// payload, by write_frame, whose access log shows the same bytes as for a
// message the processor prepared. So the frame is made here as the
// processor makes it (RFC 6455: FIN and the text opcode, the mask bit and
// the length, the 4-byte key, the payload XORed with it, a word at a time);
// the caller checks the text and gives a key from a strong random source.
// Any thread may call this: it touches nothing of the connection but its
// message manager, which only allocates.
//
// Invariant: connection::terminate (run on the I/O thread when the
// connection breaks) writes the connection's state without the lock under
// which send(), ping() and close() read it, so those three must run on the
// connection's I/O thread; from any other thread they race a connection that
// is ending. websocketpp's own dispatch of write_frame is a post, so frames
// handed to send() one after another in one handler go out in one write.
inline client_type::message_ptr prepareText(const client_type::connection_ptr& con,
                                            const char* data, std::size_t size,
                                            const unsigned char key[4]) {
  client_type::message_ptr msg = con->get_message(websocketpp::frame::opcode::text, size);
  char header[14] = {'\x81'};
  std::size_t length = 2;
  if (size < 126) {
    header[1] = static_cast<char>(0x80 | size);
  } else if (size <= 0xFFFF) {
    header[1] = static_cast<char>(0x80 | 126);
    for (int i = 0; i < 2; ++i) header[2 + i] = static_cast<char>(size >> (8 * (1 - i)));
    length = 4;
  } else {
    header[1] = static_cast<char>(0x80 | 127);
    for (int i = 0; i < 8; ++i)
      header[2 + i] = static_cast<char>(std::uint64_t(size) >> (8 * (7 - i)));
    length = 10;
  }
  std::memcpy(header + length, key, 4);
  msg->set_header(std::string(header, length + 4));
  std::string& payload = msg->get_raw_payload();
  payload.resize(size);
  std::uint64_t key8;
  std::memcpy(&key8, key, 4);
  std::memcpy(reinterpret_cast<char*>(&key8) + 4, key, 4);
  std::size_t i = 0;
  for (; i + 8 <= size; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, data + i, 8);
    word ^= key8;
    std::memcpy(&payload[i], &word, 8);
  }
  for (; i < size; ++i) payload[i] = static_cast<char>(data[i] ^ key[i % 4]);
  msg->set_prepared(true);
  return msg;
}

}  // namespace wspp
}  // namespace norv

#endif
