#include "websocket/ServerTlsContext.h"

#include <openssl/ssl.h>

#include <boost/system/system_error.hpp>
#include <stdexcept>

namespace norv {

std::shared_ptr<boost::asio::ssl::context> makeServerTlsContext(const std::string& certFile,
                                                                const std::string& keyFile,
                                                                const std::string& clientCaFile) {
  namespace ssl = boost::asio::ssl;
  auto context = std::make_shared<ssl::context>(ssl::context::tls_server);
  context->set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 |
                       ssl::context::no_sslv3 | ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1 |
                       ssl::context::single_dh_use);
  try {
    context->use_certificate_chain_file(certFile);
  } catch (const boost::system::system_error& e) {
    throw std::runtime_error("cannot use certificate file " + certFile + ": " + e.what());
  }
  try {
    context->use_private_key_file(keyFile, ssl::context::pem);
  } catch (const boost::system::system_error& e) {
    throw std::runtime_error("cannot use key file " + keyFile + ": " + e.what());
  }
  if (SSL_CTX_check_private_key(context->native_handle()) != 1)
    throw std::runtime_error("key file " + keyFile + " does not match certificate " + certFile);
  if (!clientCaFile.empty()) {
    try {
      context->load_verify_file(clientCaFile);
    } catch (const boost::system::system_error& e) {
      throw std::runtime_error("cannot use client CA file " + clientCaFile + ": " + e.what());
    }
    context->set_verify_mode(ssl::verify_peer | ssl::verify_fail_if_no_peer_cert);
  }
  return context;
}

}  // namespace norv
