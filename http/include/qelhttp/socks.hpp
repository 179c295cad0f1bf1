#pragma once
// The SOCKS4 and SOCKS5 wire formats of the stream's proxy handshake: the messages the client writes and
// the reading of what the proxy answers. Pure functions on bytes, so the synchronous and the asynchronous
// stream send the same bytes and map the same answers, and a fuzzer can drive the reply readers directly.
//
// Thread safety: no state; any thread may call any function.
#include <cstddef>
#include <cstdint>
#include <string>

#include <boost/system/error_code.hpp>

#include "qelhttp/error.hpp"
#include "qelhttp/settings.hpp"

namespace qelhttp {
namespace detail {

// Where the asynchronous handshake stands. The value is stored before the operation whose completion it
// names; a failure leaves the state in which it came.
enum socks_state : int32_t {
  proxy_resolving = 0,     // the proxy's name is being resolved
  proxy_connecting = 1,    // the socket is connecting to the proxy
  request_sent = 2,        // the SOCKS4 request or the SOCKS5 greeting is being written
  target_resolving = 3,    // SOCKS4: the target's name is being resolved here
  socks4_reply = 4,        // the SOCKS4 reply is being read
  method_reply = 5,        // the SOCKS5 method reply is being read
  auth_sent = 6,           // user name and password are being written
  connect_request = 7,     // the CONNECT request is to be built
  connect_sent = 8,        // the CONNECT request is being written
  auth_reply = 9,          // the answer to user name and password is being read
  connect_reply = 10,      // the fixed head of the CONNECT reply is being read
  connect_reply_rest = 11  // the bound address and port that follow the head are being read
};

// Fixed reply sizes. A CONNECT reply is read as its head (version, code, reserved, address type and the
// first address byte, which for a domain name is its length) and then the rest as the address type says,
// so a short domain name can never make the client wait for bytes the proxy will not send.
const size_t socks4_reply_size = 8;
const size_t socks5_method_reply_size = 2;
const size_t socks5_auth_reply_size = 2;
const size_t socks5_connect_head_size = 5;
// The longest rest: a domain name of 255 bytes and the port (the head holds the length byte).
const size_t socks5_connect_rest_max = 255 + 2;

// One-byte length fields: user name, password and host text each hold at most this many bytes.
const size_t socks5_field_max = 255;

// A reply held in a byte string, as the reply readers below take it.
inline const unsigned char* reply_bytes(const std::string& buffer) {
  return reinterpret_cast<const unsigned char*>(buffer.data());
}

// Writes value as 4 big-endian bytes at cursor and advances it by 4.
void write_uint32(uint32_t value, char*& cursor);
// Writes value as 2 big-endian bytes at cursor and advances it by 2.
void write_uint16(uint16_t value, char*& cursor);

// Clear when the proxy settings and the target can be put on the wire for this proxy type; otherwise the
// generic invalid-argument code (22), decided before anything is connected or written:
// - a proxy port or a target port outside 1-65535 (it would reach another service once cut to 16 bits);
// - SOCKS5: a host text, a user name, or (with a user name) a password longer than 255 bytes, which a
//   one-byte length cannot announce;
// - SOCKS4: a user id with a NUL byte, which would end it early and leak the rest into the tunnel.
boost::system::error_code socks_check_settings(const proxy_settings& proxy, const std::string& host,
                                               int target_port);

// SOCKS4 CONNECT: 04 01, port, IPv4 address, user id, 0.
std::string socks4_request(uint32_t address, uint16_t port, const std::string& username);
// SOCKS5 greeting: 05 01 00, or 05 02 00 02 when a user name is set.
std::string socks5_greeting(const std::string& username);
// User name and password sub-negotiation: 01, length, user name, length, password.
std::string socks5_auth_request(const std::string& username, const std::string& password);
// SOCKS5 CONNECT by host text (address type 3, also for an address literal): 05 01 00 03 len host port.
std::string socks5_connect_request(const std::string& host, uint16_t port);

// The outcome of a SOCKS4 reply (8 bytes, only byte 1 examined): clear for 90.
boost::system::error_code socks4_reply_error(const unsigned char* reply);

// The method the proxy chose in its 2-byte reply.
enum socks5_method { socks5_no_auth = 0, socks5_user_password = 2, socks5_refused = -1 };
// Checks the method reply; socks5_refused with ec set when the handshake cannot go on.
socks5_method socks5_method_choice(const unsigned char* reply, bool have_username, boost::system::error_code& ec);

// The outcome of the 2-byte answer to user name and password: clear when accepted.
boost::system::error_code socks5_auth_reply_error(const unsigned char* reply);

// Checks the 5-byte head of a CONNECT reply. On success returns the number of bytes that follow it (the
// bound address and port: 5 for IPv4, name length + 2 for a domain name, 17 for IPv6) and clears ec;
// otherwise returns 0 with ec set. A head whose version is not 5 gives `wrong_version` (the two roads of
// the stream report it differently).
size_t socks5_connect_reply_rest(const unsigned char* head, errc wrong_version, boost::system::error_code& ec);

}  // namespace detail
}  // namespace qelhttp
