#include "bench/ServerLoad.h"

#include <openssl/ssl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>
#include <websocketpp/client.hpp>
#include <websocketpp/config/asio_client.hpp>

#include "bench/BenchSupport.h"
#include "websocket/ServerTlsContext.h"
#include "websocket/SyslogServer.h"

namespace bench {

using testsupport::waitUntil;

namespace {

typedef websocketpp::client<websocketpp::config::asio_tls_client> LoadEndpoint;

// Queued-but-unwritten bytes a load client keeps at most; past it, it pauses.
constexpr std::size_t kClientBacklog = 512 * 1024;
constexpr int kSendBatch = 256;

std::shared_ptr<boost::asio::ssl::context> serverContext;
std::atomic<int> listeningPort{0};

std::shared_ptr<boost::asio::ssl::context> contextFor(int, std::weak_ptr<void>) {
  return serverContext;
}
void onListening(int port) { listeningPort = port; }

std::string payloadFor(long seq) {
  std::string p = "{\"fromhost\":\"bench\",\"seq\":" + std::to_string(seq) +
                  ",\"sent\":" + std::to_string(nowMicros()) + ",\"pad\":\"";
  p.append(140, 'x');
  return p + "\"}";
}

// One client: its own endpoint and I/O thread, and a thread that sends.
class LoadClient {
 public:
  explicit LoadClient(const std::string& uri) {
    endpoint_.clear_access_channels(websocketpp::log::alevel::all);
    endpoint_.clear_error_channels(websocketpp::log::elevel::all);
    endpoint_.init_asio();
    endpoint_.set_tls_init_handler([](websocketpp::connection_hdl) {
      auto ctx =
          std::make_shared<boost::asio::ssl::context>(boost::asio::ssl::context::tlsv12_client);
      ctx->set_verify_mode(boost::asio::ssl::verify_none);
      return ctx;
    });
    endpoint_.set_open_handler([this](websocketpp::connection_hdl) { open_ = true; });
    websocketpp::lib::error_code ec;
    connection_ = endpoint_.get_connection(uri, ec);
    if (ec) throw std::runtime_error("client connection: " + ec.message());
    endpoint_.connect(connection_);
    io_ = std::thread([this] {
      try {
        endpoint_.run();
      } catch (const std::exception&) {
      }
    });
  }
  ~LoadClient() {
    stopSending();
    endpoint_.stop();
    if (io_.joinable()) io_.join();
  }

  bool isOpen() const { return open_.load(); }

  void startSending() {
    sender_ = std::thread([this] {
      std::string payload = payloadFor(0);
      while (!stop_.load()) {
        if (connection_->get_buffered_amount() > kClientBacklog) {
          usleep(200);
          continue;
        }
        websocketpp::lib::error_code ec;
        for (int i = 0; i < kSendBatch && !ec; ++i)
          ec = connection_->send(payload, websocketpp::frame::opcode::text);
        if (ec) return;
      }
    });
  }

  void stopSending() {
    stop_ = true;
    if (sender_.joinable()) sender_.join();
  }

 private:
  LoadEndpoint endpoint_;
  LoadEndpoint::connection_ptr connection_;
  std::atomic<bool> open_{false};
  std::atomic<bool> stop_{false};
  std::thread io_;
  std::thread sender_;
};

}  // namespace

ServerLoadResult measureServer(const std::string& certFile, const std::string& keyFile, int clients,
                               int threadCount, double seconds) {
  ServerLoadResult result;
  serverContext = norv::makeServerTlsContext(certFile, keyFile);
  listeningPort = 0;
  ExecuteQueue<notification> queue;
  SyslogServer server(0, threadCount, &queue);
  server.setFunctionSSLContext(contextFor);
  server.setListeningFunction(onListening);
  std::atomic<bool> serverDone{false};
  std::thread serverThread([&] {
    try {
      server.run();
    } catch (const std::exception&) {
    }
    serverDone = true;
  });
  std::atomic<bool> consuming{true};
  std::atomic<long> popped{0};
  std::thread consumer([&] {
    notification n;
    while (consuming.load()) {
      if (queue.popFor(n, std::chrono::milliseconds(100))) ++popped;
    }
  });

  if (waitUntil([] { return listeningPort.load() != 0; }, std::chrono::seconds(5))) {
    std::string uri = "wss://127.0.0.1:" + std::to_string(listeningPort.load());
    std::vector<std::unique_ptr<LoadClient>> load;
    try {
      for (int i = 0; i < clients; ++i) load.push_back(std::make_unique<LoadClient>(uri));
      bool open = waitUntil(
          [&] {
            for (auto& c : load)
              if (!c->isOpen()) return false;
            return true;
          },
          std::chrono::seconds(10));
      if (open) {
        for (auto& c : load) c->startSending();
        usleep(300000);  // warm-up: the queues fill, the loop settles
        long before = popped.load();
        auto start = std::chrono::steady_clock::now();
        usleep(static_cast<useconds_t>(seconds * 1e6));
        long after = popped.load();
        double elapsed =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        result.measured = true;
        result.messages = after - before;
        result.perSecond = static_cast<double>(result.messages) / elapsed;
      } else {
        result.note = "clients did not connect within 10 s";
      }
      for (auto& c : load) c->stopSending();
      try {
        server.stop();
      } catch (const std::exception&) {
      }
      waitUntil([&] { return serverDone.load(); }, std::chrono::seconds(5));
    } catch (const std::exception& e) {
      result.measured = false;
      result.note = e.what();
      try {
        server.stop();
      } catch (const std::exception&) {
      }
    }
    load.clear();  // stops each client's loop, which closes what is left
  } else {
    result.note = "server did not listen within 5 s";
  }
  if (!serverDone.load()) {
    try {
      server.stop();
    } catch (const std::exception&) {
    }
  }
  serverThread.join();
  consuming = false;
  consumer.join();
  return result;
}

}  // namespace bench
