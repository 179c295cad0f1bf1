#pragma once
// A loopback server that plays a script on each connection, for answers no real server gives on demand.
#include <chrono>
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

class ScriptedServer {
 public:
  // Connection i plays scripts[i]; later connections play the last script.
  explicit ScriptedServer(std::vector<TScript> scripts);
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

  std::vector<TScript> scripts_;
  boost::asio::io_context io_;
  boost::asio::ip::tcp::acceptor acceptor_;
  unsigned short port_ = 0;
  mutable std::mutex mutex_;
  std::vector<std::string> received_;
  std::vector<std::thread> workers_;
  std::thread acceptThread_;
};

}  // namespace qeltest
