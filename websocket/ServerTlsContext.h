// makeServerTlsContext: the TLS context a SyslogServer's factory hands out,
// built once from a PEM certificate chain and private key. TLS 1.2 and later
// only. The returned context is shared by every connection that uses it (the
// caller's shared pointer keeps it alive); it is not modified after creation.
#ifndef NORV_WEBSOCKET_SERVERTLSCONTEXT_H
#define NORV_WEBSOCKET_SERVERTLSCONTEXT_H

#include <boost/asio/ssl/context.hpp>
#include <memory>
#include <string>

// With clientCaFile set, every client must present a certificate that
// chains to a certificate of that PEM file (mutual TLS).
// Throws std::runtime_error naming the file that could not be used.
namespace norv {

std::shared_ptr<boost::asio::ssl::context> makeServerTlsContext(
    const std::string& certFile, const std::string& keyFile, const std::string& clientCaFile = "");

}  // namespace norv

#endif
