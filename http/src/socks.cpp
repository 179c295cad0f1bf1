// SOCKS4 and SOCKS5 messages and the reading of the proxy's answers.
#include "qelhttp/socks.hpp"

#include <cerrno>

#include <boost/asio/error.hpp>

#include "qelhttp/error.hpp"

namespace qelhttp {
namespace detail {

namespace asio = boost::asio;
using boost::system::error_code;

namespace {

const unsigned char kSocks4Version = 4;
const unsigned char kSocks5Version = 5;
const unsigned char kAuthVersion = 1;
const unsigned char kConnect = 1;
const unsigned char kSocks4Granted = 90;
const unsigned char kAddressIpv4 = 1;
const unsigned char kAddressName = 3;
const unsigned char kAddressIpv6 = 4;

error_code InvalidArgument() { return error_code(EINVAL, boost::system::generic_category()); }

bool ValidPort(int port) { return port > 0 && port <= 65535; }

char Byte(size_t value) { return static_cast<char>(value & 0xff); }

}  // namespace

void write_uint32(uint32_t value, char*& cursor) {
  for (int shift = 24; shift >= 0; shift -= 8) *cursor++ = static_cast<char>((value >> shift) & 0xff);
}

void write_uint16(uint16_t value, char*& cursor) {
  *cursor++ = static_cast<char>(value >> 8);
  *cursor++ = static_cast<char>(value & 0xff);
}

error_code socks_check_settings(const proxy_settings& proxy, const std::string& host, int target_port) {
  if (!ValidPort(proxy.port) || !ValidPort(target_port)) return InvalidArgument();
  if (proxy.type == proxy_settings::socks4) {
    if (proxy.username.find('\0') != std::string::npos) return InvalidArgument();
    return error_code();
  }
  if (host.size() > socks5_field_max || proxy.username.size() > socks5_field_max) return InvalidArgument();
  // The password is sent only after a user name.
  if (!proxy.username.empty() && proxy.password.size() > socks5_field_max) return InvalidArgument();
  return error_code();
}

std::string socks4_request(uint32_t address, uint16_t port, const std::string& username) {
  std::string out(8, '\0');
  char* cursor = &out[0];
  *cursor++ = static_cast<char>(kSocks4Version);
  *cursor++ = static_cast<char>(kConnect);
  write_uint16(port, cursor);
  write_uint32(address, cursor);
  out += username;
  out.push_back('\0');
  return out;
}

std::string socks5_greeting(const std::string& username) {
  if (username.empty()) return std::string("\x05\x01\x00", 3);
  return std::string("\x05\x02\x00\x02", 4);
}

std::string socks5_auth_request(const std::string& username, const std::string& password) {
  std::string out;
  out.push_back(static_cast<char>(kAuthVersion));
  out.push_back(Byte(username.size()));
  out += username;
  out.push_back(Byte(password.size()));
  out += password;
  return out;
}

std::string socks5_connect_request(const std::string& host, uint16_t port) {
  std::string out;
  out.push_back(static_cast<char>(kSocks5Version));
  out.push_back(static_cast<char>(kConnect));
  out.push_back('\0');
  out.push_back(static_cast<char>(kAddressName));
  out.push_back(Byte(host.size()));
  out += host;
  char bytes[2];
  char* cursor = bytes;
  write_uint16(port, cursor);
  out.append(bytes, 2);
  return out;
}

error_code socks4_reply_error(const unsigned char* reply) {
  switch (reply[1]) {
    case kSocks4Granted:
      return error_code();
    case 91:
      return make_error_code(errc::socks_authentication_error);
    case 92:
      return make_error_code(errc::socks_no_identd);
    case 93:
      return make_error_code(errc::socks_identd_error);
    default:
      return make_error_code(errc::socks_general_failure);
  }
}

socks5_method socks5_method_choice(const unsigned char* reply, bool have_username, error_code& ec) {
  ec.clear();
  if (reply[0] != kSocks5Version) {
    ec = make_error_code(errc::socks_unsupported_version);
    return socks5_refused;
  }
  if (reply[1] == socks5_no_auth) return socks5_no_auth;
  if (reply[1] == socks5_user_password) {
    if (have_username) return socks5_user_password;
    ec = make_error_code(errc::socks_username_required);
    return socks5_refused;
  }
  // 0xFF (no acceptable method) and anything we never offered.
  ec = make_error_code(errc::socks_unsupported_authentication_version);
  return socks5_refused;
}

error_code socks5_auth_reply_error(const unsigned char* reply) {
  if (reply[0] != kAuthVersion) return make_error_code(errc::socks_unsupported_authentication_version);
  if (reply[1] != 0) return make_error_code(errc::socks_authentication_error);
  return error_code();
}

namespace {

error_code ConnectReplyError(unsigned char code) {
  switch (code) {
    case 2:
      return asio::error::no_permission;
    case 3:
      return asio::error::network_unreachable;
    case 4:
      return asio::error::host_unreachable;
    case 5:
      return asio::error::connection_refused;
    case 6:
      return asio::error::timed_out;
    case 7:
      return make_error_code(errc::socks_command_not_supported);
    case 8:
      return asio::error::address_family_not_supported;
    default:
      return make_error_code(errc::socks_general_failure);
  }
}

}  // namespace

size_t socks5_connect_reply_rest(const unsigned char* head, errc wrong_version, error_code& ec) {
  ec.clear();
  if (head[0] != kSocks5Version) {
    ec = make_error_code(wrong_version);
    return 0;
  }
  if (head[1] != 0) {
    ec = ConnectReplyError(head[1]);
    return 0;
  }
  // The head already holds the first address byte: for a name, its length.
  switch (head[3]) {
    case kAddressIpv4:
      return 4 - 1 + 2;
    case kAddressName:
      return static_cast<size_t>(head[4]) + 2;
    case kAddressIpv6:
      // A bound IPv6 address: the proxy reached the target over IPv6; the tunnel works the same.
      return 16 - 1 + 2;
    default:
      ec = asio::error::address_family_not_supported;
      return 0;
  }
}

}  // namespace detail
}  // namespace qelhttp
