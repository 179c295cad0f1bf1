#pragma once
// What the stream tests share: reading a body to its end on either road, and one connection to the
// scripted server answering with a script.
#include <functional>
#include <string>
#include <vector>

#include <boost/asio.hpp>
#include <gtest/gtest.h>

#include "qelhttp/http_stream.hpp"
#include "scripted_server.h"

namespace streamtest {

// Reads the body to its end with a buffer of the given size.
inline std::string ReadAll(qelhttp::http_stream& s, size_t piece, boost::system::error_code& ec) {
  std::string body;
  std::vector<char> buffer(piece);
  for (;;) {
    size_t n = s.read_some(buffer.data(), buffer.size(), ec);
    body.append(buffer.data(), n);
    if (n == 0) return body;
  }
}

struct TAsyncResult {
  boost::system::error_code open;
  boost::system::error_code read;
  std::string body;
  int status = 0;
  qelhttp::request_opts head;
  // Every completion ran from the I/O service, none inside the call that started it.
  bool never_inline = true;
};

// Opens and reads with the asynchronous road on a private I/O service.
inline TAsyncResult AsyncGet(const std::string& address, size_t piece = 4096,
                             const qelhttp::request_opts* options = nullptr) {
  boost::asio::io_context io;
  qelhttp::http_stream s(io);
  if (options) s.request_options(*options);
  TAsyncResult result;
  std::vector<char> buffer(piece);
  bool inside = true;
  std::function<void(const boost::system::error_code&, std::size_t)> on_read =
      [&](const boost::system::error_code& ec, std::size_t n) {
        if (inside) result.never_inline = false;
        result.body.append(buffer.data(), n);
        if (ec || n == 0) {
          result.read = ec;
          return;
        }
        inside = true;
        s.async_read_some(boost::asio::buffer(buffer), on_read);
        inside = false;
      };
  s.async_open(qelhttp::url::from_string(address), [&](const boost::system::error_code& ec) {
    EXPECT_FALSE(inside) << "a completion never runs inside the call that started it";
    if (inside) result.never_inline = false;
    result.open = ec;
    result.status = s.status();
    result.head = s.response_options();
    if (ec) return;
    inside = true;
    s.async_read_some(boost::asio::buffer(buffer), on_read);
    inside = false;
  });
  inside = false;
  io.run();
  return result;
}

// One connection answering with the script; the request the client wrote comes back.
struct TScripted {
  boost::system::error_code open;
  boost::system::error_code read;
  std::string body;
  std::string request;
  int status = 0;
  qelhttp::request_opts head;
};

inline TScripted SyncScripted(qeltest::TScript script, size_t piece = 100,
                              const qelhttp::request_opts& options = qelhttp::request_opts(), int timeout = 0) {
  qeltest::ScriptedServer server({std::move(script)});
  boost::asio::io_context io;
  qelhttp::http_stream s(io);
  s.request_options(options);
  s.set_sync_timeout(timeout);
  TScripted r;
  s.open(qelhttp::url::from_string(server.Url("/p?q=1#f")), r.open);
  r.status = s.status();
  r.head = s.response_options();
  if (!r.open) r.body = ReadAll(s, piece, r.read);
  auto received = server.Received();
  r.request = received.empty() ? "" : received[0];
  return r;
}

inline qeltest::TScript Answer(const std::string& head, const std::string& body = "") {
  return {qeltest::TScriptStep::ReadHead(), qeltest::TScriptStep::SendBytes(head + body),
          qeltest::TScriptStep::CloseNow()};
}

}  // namespace streamtest
