#pragma once
// A loopback server that plays a script on each connection, for answers no real server gives on demand.
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio.hpp>

namespace qeltest {

struct TScriptStep {
  enum EKind { Send, ReadRequest, Wait, Close } kind = Send;
  std::string bytes;                       // Send: written in one write
  std::chrono::milliseconds delay{0};      // Wait
  static TScriptStep SendBytes(std::string b) { return {Send, std::move(b), {}}; }
  static TScriptStep ReadHead() { return {ReadRequest, {}, {}}; }
  static TScriptStep Pause(std::chrono::milliseconds d) { return {Wait, {}, d}; }
  static TScriptStep CloseNow() { return {Close, {}, {}}; }
};
using TScript = std::vector<TScriptStep>;

// Each of the given bytes as its own Send step: a body split at every byte.
TScript SendSplitEveryByte(const std::string& bytes);

// Chooses the answer from the request: called with the connection's number (in accept order) and the
// request head, returns the steps to play (Send, Wait, Close; ReadRequest steps wait for the client to send
// more or to close).
using TResponder = std::function<TScript(size_t connection, const std::string& request)>;

class ScriptedServer {
 public:
  // Connection i plays scripts[i]; later connections play the last script.
  explicit ScriptedServer(std::vector<TScript> scripts);
  // Every request head read on a connection is answered with the responder's steps; unless they close it,
  // the next request on the same connection is read after them (keep-alive).
  explicit ScriptedServer(TResponder responder);
  ~ScriptedServer();
  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;

  unsigned short port() const { return port_; }
  std::string Url(const std::string& path) const;
  // What the clients sent, one entry per connection, in accept order.
  std::vector<std::string> Received() const;

 private:
  void AcceptLoop();
  void Play(boost::asio::ip::tcp::socket socket, size_t index);
  void Answer(boost::asio::ip::tcp::socket& socket, size_t index);

  std::vector<TScript> scripts_;
  TResponder responder_;
  boost::asio::io_context io_;
  boost::asio::ip::tcp::acceptor acceptor_;
  unsigned short port_ = 0;
  mutable std::mutex mutex_;
  std::vector<std::string> received_;
  std::vector<std::thread> workers_;
  std::thread acceptThread_;
};

}  // namespace qeltest
