// The stream through SOCKS4 and SOCKS5 proxies on both roads. dante and microsocks are the real proxies in
// front of a local nginx; the scripted server plays the proxy where the exact bytes matter and for every
// answer a real proxy does not give on demand (each reply code, cut and short replies, odd address types,
// silence). Not covered: proxies reached by name (there is no DNS here).
#include "qelhttp/socks.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "dante_server.h"
#include "microsocks_server.h"
#include "nginx_server.h"
#include "qelhttp/http_stream.hpp"
#include "scripted_server.h"

namespace {

namespace asio = boost::asio;
using namespace qelhttp;
using boost::system::error_code;
using qeltest::ScriptedServer;
using qeltest::TScript;
using qeltest::TScriptStep;

const char kAnswer[] = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello";

proxy_settings Socks(int type, unsigned short port, const std::string& user = "", const std::string& password = "") {
  proxy_settings proxy;
  proxy.type = type;
  proxy.host = "127.0.0.1";
  proxy.port = port;
  proxy.username = user;
  proxy.password = password;
  return proxy;
}

struct TOutcome {
  error_code open;
  error_code read;
  std::string body;
  int calls = 0;
};

TOutcome SyncFetch(const proxy_settings& proxy, const std::string& address, int time_limit = 10) {
  asio::io_context io;
  http_stream s(io);
  s.set_proxy(proxy);
  s.set_sync_timeout(time_limit);
  TOutcome r;
  r.calls = 1;
  s.open(url::from_string(address), r.open);
  if (r.open) return r;
  char buffer[1000];
  for (;;) {
    size_t n = s.read_some(buffer, sizeof buffer, r.read);
    r.body.append(buffer, n);
    if (n == 0) return r;
  }
}

// The caller stops the open (closes the stream) when it has not completed after stop_after.
TOutcome AsyncFetch(const proxy_settings& proxy, const std::string& address,
                    std::chrono::milliseconds stop_after = std::chrono::seconds(10)) {
  asio::io_context io;
  http_stream s(io);
  s.set_proxy(proxy);
  TOutcome r;
  std::vector<char> buffer(1000);
  asio::steady_timer stop(io, stop_after);
  stop.async_wait([&](const error_code& ec) {
    error_code ignored;
    if (!ec) s.close(ignored);
  });
  std::function<void(const error_code&, std::size_t)> on_read = [&](const error_code& ec, std::size_t n) {
    r.body.append(buffer.data(), n);
    if (ec || n == 0) {
      r.read = ec;
      stop.cancel();
      return;
    }
    s.async_read_some(asio::buffer(buffer), on_read);
  };
  bool inside_call = true;
  s.async_open(url::from_string(address), [&](const error_code& ec) {
    EXPECT_FALSE(inside_call) << "a completion never runs inside the call that started it";
    ++r.calls;
    r.open = ec;
    if (ec) {
      stop.cancel();
      return;
    }
    s.async_read_some(asio::buffer(buffer), on_read);
  });
  inside_call = false;
  io.run();
  return r;
}

TOutcome Fetch(bool async, const proxy_settings& proxy, const std::string& address) {
  return async ? AsyncFetch(proxy, address) : SyncFetch(proxy, address);
}

const char* Road(bool async) { return async ? "async_open" : "open"; }

// The proxy's replies, then the origin's answer to the request that comes through the tunnel.
TScript Tunnel(const std::vector<std::string>& replies) {
  TScript script;
  for (const std::string& reply : replies) script.push_back(TScriptStep::SendBytes(reply));
  script.push_back(TScriptStep::ReadHead());
  script.push_back(TScriptStep::SendBytes(kAnswer));
  script.push_back(TScriptStep::CloseNow());
  return script;
}

// The proxy's replies, then it holds the connection until the client lets go.
TScript Refusal(const std::vector<std::string>& replies) {
  TScript script;
  for (const std::string& reply : replies) script.push_back(TScriptStep::SendBytes(reply));
  script.push_back(TScriptStep::ReadHead());
  return script;
}

struct TScriptedRun {
  TOutcome outcome;
  std::string sent;  // every byte the client wrote, once the script reached the origin's answer
};

TScriptedRun ViaScript(bool async, const TScript& script, proxy_settings proxy,
                       const std::string& address = "http://10.0.0.1/f") {
  ScriptedServer server({script});
  proxy.host = "127.0.0.1";
  proxy.port = server.port();
  TScriptedRun run;
  run.outcome = Fetch(async, proxy, address);
  if (!run.outcome.open) run.sent = server.Received().at(0);
  return run;
}

std::string Bytes(std::initializer_list<int> values) {
  std::string out;
  for (int v : values) out.push_back(static_cast<char>(v));
  return out;
}

const std::string kMethodNone = Bytes({5, 0});
const std::string kConnectedV4 = Bytes({5, 0, 0, 1, 127, 0, 0, 1, 0, 80});
const std::string kGranted = Bytes({0, 90, 0, 80, 10, 0, 0, 1});

// --- The bytes on the wire ---------------------------------------------------------------------------

TEST(SocksScripted, BothRoadsSendExactlyTheHandshakeBytesThenTheRequest) {
  const std::string connect_10_0_0_1 = Bytes({5, 1, 0, 3, 8}) + "10.0.0.1" + Bytes({0, 80});
  struct TCase {
    const char* name;
    proxy_settings proxy;
    std::string address;
    std::vector<std::string> replies;
    std::string handshake;
  } cases[] = {
      {"socks4 without user id", Socks(1, 0), "http://10.0.0.1/f", {kGranted}, Bytes({4, 1, 0, 80, 10, 0, 0, 1, 0})},
      {"socks4 with the user name as user id", Socks(1, 0, "qel"), "http://10.0.0.1:8080/f", {kGranted},
       Bytes({4, 1, 0x1f, 0x90, 10, 0, 0, 1}) + "qel" + Bytes({0})},
      {"socks5, no user name", Socks(2, 0), "http://10.0.0.1/f", {kMethodNone, kConnectedV4},
       Bytes({5, 1, 0}) + connect_10_0_0_1},
      {"socks5 with a user name offers both methods", Socks(2, 0, "qel", "secret"), "http://10.0.0.1/f",
       {kMethodNone, kConnectedV4}, Bytes({5, 2, 0, 2}) + connect_10_0_0_1},
      {"socks5_pw without a user name offers no authentication only", Socks(3, 0), "http://10.0.0.1/f",
       {kMethodNone, kConnectedV4}, Bytes({5, 1, 0}) + connect_10_0_0_1},
      {"socks5_pw", Socks(3, 0, "qel", "secret"), "http://10.0.0.1/f",
       {Bytes({5, 2}), Bytes({1, 0}), kConnectedV4},
       Bytes({5, 2, 0, 2, 1, 3}) + "qel" + Bytes({6}) + "secret" + connect_10_0_0_1},
      {"socks5 to a 255-byte host name", Socks(2, 0), "http://" + std::string(255, 'h') + ":8080/f",
       {kMethodNone, kConnectedV4}, Bytes({5, 1, 0, 5, 1, 0, 3, 255}) + std::string(255, 'h') + Bytes({0x1f, 0x90})},
  };
  for (const TCase& c : cases) {
    for (bool async : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + " / " + Road(async));
      TScriptedRun run = ViaScript(async, Tunnel(c.replies), c.proxy, c.address);
      ASSERT_FALSE(run.outcome.open) << run.outcome.open.message();
      EXPECT_EQ(run.outcome.body, "hello");
      EXPECT_EQ(run.outcome.calls, 1);
      EXPECT_EQ(run.sent.substr(0, c.handshake.size()), c.handshake);
      EXPECT_EQ(run.sent.substr(c.handshake.size(), 16), "GET /f HTTP/1.1\r") << "the request follows at once";
    }
  }
}

// --- The proxy's answers -----------------------------------------------------------------------------

TEST(SocksScripted, ConnectRepliesAreReadByTheirAddressType) {
  std::vector<std::string> replies = {kConnectedV4, Bytes({5, 0, 0, 4}) + std::string(16, '\1') + Bytes({0, 80})};
  // Names shorter than the fixed part of an IPv4 reply must neither wait for bytes that never come nor
  // turn into a huge read.
  for (int length : {0, 1, 2, 3, 4, 7, 100, 255}) {
    replies.push_back(Bytes({5, 0, 0, 3, length}) + std::string(length, 'n') + Bytes({0, 80}));
  }
  for (const std::string& reply : replies) {
    for (bool async : {false, true}) {
      SCOPED_TRACE("reply of " + std::to_string(reply.size()) + " bytes / " + Road(async));
      TScriptedRun run = ViaScript(async, Tunnel({kMethodNone, reply}), Socks(2, 0));
      ASSERT_FALSE(run.outcome.open) << run.outcome.open.message();
      EXPECT_EQ(run.outcome.body, "hello");
    }
  }
  for (int type : {0, 2, 5, 255}) {
    for (bool async : {false, true}) {
      SCOPED_TRACE("address type " + std::to_string(type) + " / " + Road(async));
      TScriptedRun run = ViaScript(async, Refusal({kMethodNone, Bytes({5, 0, 0, type}) + std::string(20, '\0')}),
                                   Socks(2, 0));
      EXPECT_EQ(run.outcome.open, asio::error::address_family_not_supported);
      EXPECT_EQ(run.outcome.calls, 1);
    }
  }
}

TEST(SocksScripted, EveryRefusalEndsInItsError) {
  const error_code http = make_error_code(errc::socks_general_failure);
  struct TCase {
    int type;
    std::vector<std::string> replies;
    error_code sync_error;
    error_code async_error;
  };
  auto same = [](int type, std::vector<std::string> replies, error_code ec) { return TCase{type, replies, ec, ec}; };
  auto code = [](int value) { return Bytes({5, value, 0, 1, 0, 0, 0, 0, 0, 0}); };
  std::vector<TCase> cases = {
      same(1, {Bytes({0, 91, 0, 0, 0, 0, 0, 0})}, make_error_code(errc::socks_authentication_error)),
      same(1, {Bytes({0, 92, 0, 0, 0, 0, 0, 0})}, make_error_code(errc::socks_no_identd)),
      same(1, {Bytes({0, 93, 0, 0, 0, 0, 0, 0})}, make_error_code(errc::socks_identd_error)),
      same(1, {Bytes({0, 94, 0, 0, 0, 0, 0, 0})}, http),
      same(1, {Bytes({4, 0, 0, 0, 0, 0, 0, 0})}, http),
      same(2, {Bytes({5, 0xff})}, make_error_code(errc::socks_unsupported_authentication_version)),
      same(2, {Bytes({5, 1})}, make_error_code(errc::socks_unsupported_authentication_version)),
      same(2, {Bytes({4, 0})}, make_error_code(errc::socks_unsupported_version)),
      same(2, {Bytes({5, 2})}, make_error_code(errc::socks_username_required)),
      same(2, {kMethodNone, code(1)}, http),
      same(2, {kMethodNone, code(2)}, asio::error::no_permission),
      same(2, {kMethodNone, code(3)}, asio::error::network_unreachable),
      same(2, {kMethodNone, code(4)}, asio::error::host_unreachable),
      same(2, {kMethodNone, code(5)}, asio::error::connection_refused),
      same(2, {kMethodNone, code(6)}, asio::error::timed_out),
      same(2, {kMethodNone, code(7)}, make_error_code(errc::socks_command_not_supported)),
      same(2, {kMethodNone, code(8)}, asio::error::address_family_not_supported),
      same(2, {kMethodNone, code(9)}, http),
      same(2, {kMethodNone, code(255)}, http),
      {2, {kMethodNone, Bytes({4, 0, 0, 1, 0, 0, 0, 0, 0, 0})}, make_error_code(errc::socks_unsupported_version),
       http},
  };
  for (const TCase& c : cases) {
    for (bool async : {false, true}) {
      std::string last = c.replies.back();
      SCOPED_TRACE("type " + std::to_string(c.type) + ", last reply bytes " + std::to_string(int(last[0])) + " " +
                   std::to_string(int(static_cast<unsigned char>(last[1]))) + " / " + Road(async));
      TScriptedRun run = ViaScript(async, Refusal(c.replies), Socks(c.type, 0));
      EXPECT_EQ(run.outcome.open, async ? c.async_error : c.sync_error) << run.outcome.open.message();
      EXPECT_EQ(run.outcome.calls, 1);
    }
  }
  // The answer to user name and password.
  for (bool async : {false, true}) {
    SCOPED_TRACE(Road(async));
    proxy_settings with_user = Socks(3, 0, "qel", "secret");
    EXPECT_EQ(ViaScript(async, Refusal({Bytes({5, 2}), Bytes({2, 0})}), with_user).outcome.open,
              make_error_code(errc::socks_unsupported_authentication_version));
    EXPECT_EQ(ViaScript(async, Refusal({Bytes({5, 2}), Bytes({1, 1})}), with_user).outcome.open,
              make_error_code(errc::socks_authentication_error));
  }
}

TEST(SocksScripted, RepliesCutAtEveryByteEndInTheTransportError) {
  struct TCase {
    int type;
    std::string replies;
  } cases[] = {
      {1, kGranted},
      {2, kMethodNone + Bytes({5, 0, 0, 3, 4}) + "name" + Bytes({0, 80})},
      {3, Bytes({5, 2, 1, 0}) + Bytes({5, 0, 0, 4}) + std::string(16, '\0') + Bytes({0, 80})},
  };
  for (const TCase& c : cases) {
    for (size_t cut = 0; cut < c.replies.size(); ++cut) {
      for (bool async : {false, true}) {
        SCOPED_TRACE("type " + std::to_string(c.type) + " cut after " + std::to_string(cut) + " / " + Road(async));
        TScript script = {TScriptStep::SendBytes(c.replies.substr(0, cut)), TScriptStep::CloseNow()};
        TScriptedRun run = ViaScript(async, script, Socks(c.type, 0, c.type == 3 ? "qel" : "", "secret"));
        // The proxy closed: which of these the client sees depends on how far its own writes got.
        const error_code& ec = run.outcome.open;
        EXPECT_TRUE(ec == asio::error::eof || ec == asio::error::connection_reset || ec == asio::error::broken_pipe)
            << ec.message();
        EXPECT_EQ(run.outcome.calls, 1);
      }
    }
  }
}

TEST(SocksScripted, ASilentProxyHoldsTheOpenUntilTheCallerStopsIt) {
  for (int type : {1, 2}) {
    SCOPED_TRACE("type " + std::to_string(type));
    ScriptedServer server({{TScriptStep::ReadHead()}});
    proxy_settings proxy = Socks(type, server.port());
    EXPECT_EQ(SyncFetch(proxy, "http://127.0.0.1/f", 1).open, asio::error::timed_out);
    TOutcome stopped = AsyncFetch(proxy, "http://127.0.0.1/f", std::chrono::milliseconds(200));
    EXPECT_EQ(stopped.open, asio::error::operation_aborted);
    EXPECT_EQ(stopped.calls, 1);
  }
}

// --- Settings that cannot go on the wire -------------------------------------------------------------

// A listening port that records whether anyone connected, without accepting.
class CListener {
 public:
  CListener() : acceptor_(io_, asio::ip::tcp::endpoint(asio::ip::address_v4::loopback(), 0)) {
    acceptor_.non_blocking(true);
  }
  unsigned short port() const { return acceptor_.local_endpoint().port(); }
  bool Connected() {
    asio::ip::tcp::socket socket(io_);
    error_code ec;
    acceptor_.accept(socket, ec);
    return !ec;
  }

 private:
  asio::io_context io_;
  asio::ip::tcp::acceptor acceptor_;
};

TEST(SocksScripted, FieldsTooLongForTheirLengthByteAreRefusedBeforeConnecting) {
  const std::string long_text(256, 'x');
  const error_code invalid(EINVAL, boost::system::generic_category());
  struct TCase {
    const char* name;
    int type;
    std::string user;
    std::string password;
    std::string address;
    int proxy_port;  // 0: the listener's
  } cases[] = {
      {"host of 256 bytes", 2, "", "", "http://" + long_text + "/f", 0},
      {"user name of 256 bytes", 3, long_text, "p", "http://10.0.0.1/f", 0},
      {"user name of 256 bytes offered on type 2", 2, long_text, "p", "http://10.0.0.1/f", 0},
      {"password of 256 bytes", 3, "qel", long_text, "http://10.0.0.1/f", 0},
      {"socks4 user id with a NUL byte", 1, std::string("q\0el", 4), "", "http://10.0.0.1/f", 0},
      {"target port past 65535", 2, "", "", "http://10.0.0.1:65616/f", 0},
      {"proxy port past 65535", 1, "", "", "http://10.0.0.1/f", 65536 + 80},
  };
  for (const TCase& c : cases) {
    for (bool async : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + " / " + Road(async));
      CListener listener;
      proxy_settings proxy = Socks(c.type, listener.port(), c.user, c.password);
      if (c.proxy_port) proxy.port = c.proxy_port;
      TOutcome r = Fetch(async, proxy, c.address);
      EXPECT_EQ(r.open, invalid) << r.open.message();
      EXPECT_EQ(r.calls, 1);
      EXPECT_FALSE(listener.Connected()) << "nothing reaches the proxy";
    }
  }
  // A password nobody will send is no reason to refuse.
  for (bool async : {false, true}) {
    TScriptedRun run = ViaScript(async, Tunnel({kMethodNone, kConnectedV4}), Socks(3, 0, "", long_text));
    EXPECT_FALSE(run.outcome.open) << Road(async) << ": " << run.outcome.open.message();
  }
}

TEST(SocksScripted, Socks4TargetWithOnlyAnIPv6AddressFailsWithTheAddressFamilyError) {
  for (bool async : {false, true}) {
    SCOPED_TRACE(Road(async));
    TScriptedRun run = ViaScript(async, Refusal({}), Socks(1, 0), "http://[::1]:8080/f");
    EXPECT_EQ(run.outcome.open, asio::error::address_family_not_supported);
    EXPECT_EQ(run.outcome.calls, 1);
  }
}

// --- Real proxies in front of nginx ------------------------------------------------------------------

class RealSocks : public ::testing::Test {
 protected:
  RealSocks() : origin("location /r { return 302 /p.txt; }\nlisten [::1]:" + std::to_string(v6_port) + ";") {}
  void SetUp() override {
    ASSERT_TRUE(origin.started());
    origin.AddFile("p.txt", "through the tunnel");
    big.resize(300 * 1024 + 3);
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + (i >> 11));
    origin.AddFile("big.bin", big);
  }
  unsigned short v6_port = qeltest::FreePort();
  qeltest::NginxServer origin;
  std::string big;
};

TEST_F(RealSocks, DanteCarriesSocks4AndSocks5OnBothRoads) {
  qeltest::DanteServer dante;
  ASSERT_TRUE(dante.started());
  for (int type : {1, 2, 3}) {
    for (bool async : {false, true}) {
      SCOPED_TRACE("type " + std::to_string(type) + " / " + Road(async));
      proxy_settings proxy = Socks(type, dante.port());
      TOutcome r = Fetch(async, proxy, origin.Url("/p.txt"));
      ASSERT_FALSE(r.open) << r.open.message();
      EXPECT_EQ(r.body, "through the tunnel");
      r = Fetch(async, proxy, origin.Url("/big.bin"));
      ASSERT_FALSE(r.open) << r.open.message();
      EXPECT_TRUE(r.body == big) << "body of " << r.body.size() << " bytes differs";
      r = Fetch(async, proxy, origin.Url("/r"));
      ASSERT_FALSE(r.open) << "a redirect opens a new tunnel: " << r.open.message();
      EXPECT_EQ(r.body, "through the tunnel");
    }
  }
  EXPECT_NE(dante.Log().find("pass("), std::string::npos) << dante.Log();
}

TEST_F(RealSocks, DanteRefusingTheTargetPortGivesTheMappedError) {
  qeltest::DanteServer dante(origin.port());
  ASSERT_TRUE(dante.started());
  for (bool async : {false, true}) {
    SCOPED_TRACE(Road(async));
    EXPECT_EQ(Fetch(async, Socks(1, dante.port()), origin.Url("/p.txt")).open,
              make_error_code(errc::socks_authentication_error));
    EXPECT_EQ(Fetch(async, Socks(2, dante.port()), origin.Url("/p.txt")).open, asio::error::no_permission);
  }
  EXPECT_NE(dante.Log().find("block("), std::string::npos) << dante.Log();
}

TEST_F(RealSocks, DanteReachingAnIPv6TargetAnswersWithAnIPv6AddressAndTheTunnelWorks) {
  qeltest::DanteServer dante;
  ASSERT_TRUE(dante.started());
  const std::string address = "http://[::1]:" + std::to_string(v6_port) + "/p.txt";
  for (bool async : {false, true}) {
    SCOPED_TRACE(Road(async));
    TOutcome r = Fetch(async, Socks(2, dante.port()), address);
    ASSERT_FALSE(r.open) << r.open.message();
    EXPECT_EQ(r.body, "through the tunnel");
    EXPECT_EQ(Fetch(async, Socks(1, dante.port()), address).open, asio::error::address_family_not_supported);
  }
}

TEST_F(RealSocks, MicrosocksTakesTheRightPasswordAndRefusesTheWrongOne) {
  qeltest::MicrosocksServer micro("qel", "secret");
  ASSERT_TRUE(micro.started());
  for (bool async : {false, true}) {
    SCOPED_TRACE(Road(async));
    for (int type : {2, 3}) {
      TOutcome r = Fetch(async, Socks(type, micro.port(), "qel", "secret"), origin.Url("/big.bin"));
      ASSERT_FALSE(r.open) << "type " << type << ": " << r.open.message();
      EXPECT_TRUE(r.body == big);
    }
    EXPECT_EQ(Fetch(async, Socks(3, micro.port(), "qel", "wrong"), origin.Url("/p.txt")).open,
              make_error_code(errc::socks_authentication_error));
    EXPECT_EQ(Fetch(async, Socks(2, micro.port()), origin.Url("/p.txt")).open,
              make_error_code(errc::socks_unsupported_authentication_version))
        << "no user name: the proxy accepts none of the offered methods";
  }
}

// The update check opens its URL with make_url on the synchronous road, with a time limit per step.
TEST_F(RealSocks, AnUpdateCheckAnswerComesThroughEveryKindOfSocksProxy) {
  const std::string answer = "{\"result\":0,\"product_code\":\"demo\",\"product_version\":\"1.2.0\"}";
  origin.AddFile("checkVersionInfo.html", answer);
  qeltest::DanteServer dante;
  qeltest::MicrosocksServer micro("qel", "secret");
  ASSERT_TRUE(dante.started());
  ASSERT_TRUE(micro.started());
  const std::string check = origin.Url("/checkVersionInfo.html") +
                            "?product_code=demo&product_version=1.0.0&Client_id=00-11-22-33-44-55"
                            "&Client_ip=127.0.0.1&download_type=0&download_version=";
  for (const proxy_settings& proxy :
       {Socks(1, dante.port()), Socks(2, dante.port()), Socks(3, micro.port(), "qel", "secret")}) {
    SCOPED_TRACE("type " + std::to_string(proxy.type));
    asio::io_context io;
    http_stream s(io);
    s.set_proxy(proxy);
    s.set_sync_timeout(30);
    error_code ec;
    s.open(make_url(check.c_str()), ec);
    ASSERT_FALSE(ec) << ec.message();
    std::string body;
    char buffer[500];
    for (size_t n; (n = s.read_some(buffer, sizeof buffer, ec)) > 0;) body.append(buffer, n);
    EXPECT_EQ(body, answer);
  }
}

}  // namespace
