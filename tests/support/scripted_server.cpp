#include "scripted_server.h"

namespace qeltest {

namespace asio = boost::asio;
using asio::ip::tcp;

TScript SendSplitEveryByte(const std::string& bytes) {
  TScript script;
  for (char c : bytes) script.push_back(TScriptStep::SendBytes(std::string(1, c)));
  return script;
}

ScriptedServer::ScriptedServer(std::vector<TScript> scripts)
    : scripts_(std::move(scripts)),
      acceptor_(io_, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0)) {
  port_ = acceptor_.local_endpoint().port();
  acceptThread_ = std::thread([this] { AcceptLoop(); });
}

ScriptedServer::ScriptedServer(TResponder responder)
    : responder_(std::move(responder)),
      acceptor_(io_, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0)) {
  port_ = acceptor_.local_endpoint().port();
  acceptThread_ = std::thread([this] { AcceptLoop(); });
}

ScriptedServer::~ScriptedServer() {
  boost::system::error_code ec;
  acceptor_.close(ec);
  // A blocking accept is not woken by close on every kernel: connect once to release it.
  tcp::socket wake(io_);
  wake.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), port_), ec);
  if (acceptThread_.joinable()) acceptThread_.join();
  for (auto& worker : workers_) worker.join();
}

std::string ScriptedServer::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<std::string> ScriptedServer::Received() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

void ScriptedServer::AcceptLoop() {
  for (size_t index = 0;; ++index) {
    boost::system::error_code ec;
    tcp::socket socket(io_);
    acceptor_.accept(socket, ec);
    if (ec || !acceptor_.is_open()) return;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      received_.emplace_back();
    }
    workers_.emplace_back([this, s = std::move(socket), index]() mutable { Play(std::move(s), index); });
  }
}

// Request after request on one connection, each answered by the responder.
void ScriptedServer::Answer(tcp::socket& socket, size_t index) {
  std::string seen;
  boost::system::error_code ec;
  char buf[4096];
  for (;;) {
    size_t end = seen.find("\r\n\r\n");
    while (end == std::string::npos) {
      size_t n = socket.read_some(asio::buffer(buf), ec);
      if (ec) return;
      seen.append(buf, n);
      end = seen.find("\r\n\r\n");
    }
    const std::string request = seen.substr(0, end + 4);
    seen.erase(0, end + 4);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      received_[index] += request;
    }
    for (const TScriptStep& step : responder_(index, request)) {
      if (step.kind == TScriptStep::Send) {
        socket.set_option(tcp::no_delay(true), ec);
        asio::write(socket, asio::buffer(step.bytes), ec);
      } else if (step.kind == TScriptStep::ReadRequest) {
        while (!ec) {
          size_t n = socket.read_some(asio::buffer(buf), ec);
          if (!ec) seen.append(buf, n);
          if (seen.find("\r\n\r\n") != std::string::npos) break;
        }
      } else if (step.kind == TScriptStep::Wait) {
        std::this_thread::sleep_for(step.delay);
      } else {
        return;
      }
      if (ec) return;
    }
  }
}

void ScriptedServer::Play(tcp::socket socket, size_t index) {
  if (responder_) {
    Answer(socket, index);
    boost::system::error_code ec;
    socket.shutdown(tcp::socket::shutdown_both, ec);
    socket.close(ec);
    return;
  }
  if (scripts_.empty()) return;
  const TScript& script = scripts_[std::min(index, scripts_.size() - 1)];
  std::string seen;
  boost::system::error_code ec;
  for (const TScriptStep& step : script) {
    if (step.kind == TScriptStep::Send) {
      socket.set_option(tcp::no_delay(true), ec);
      asio::write(socket, asio::buffer(step.bytes), ec);
    } else if (step.kind == TScriptStep::ReadRequest) {
      char buf[4096];
      while (seen.find("\r\n\r\n") == std::string::npos) {
        size_t n = socket.read_some(asio::buffer(buf), ec);
        if (ec) break;
        seen.append(buf, n);
      }
      std::lock_guard<std::mutex> lock(mutex_);
      received_[index] = seen;
    } else if (step.kind == TScriptStep::Wait) {
      std::this_thread::sleep_for(step.delay);
    } else {
      break;
    }
    if (ec) break;
  }
  socket.shutdown(tcp::socket::shutdown_both, ec);
  socket.close(ec);
}

}  // namespace qeltest
