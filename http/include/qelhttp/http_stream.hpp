#pragma once
// One HTTP/1.x connection with everything an exchange needs: socket, resolver, current URL, option lists,
// the state of the last response, chunked decoding, the cookie jar and the byte buffers. Opens follow
// 301/302 redirects (at most 5 in a row); the body is read in pieces of the caller's size, and also through
// the std::streambuf interface.
//
// A stream is driven by one thread at a time and takes no lock: the synchronous operations run on the
// caller's thread, the completions of the asynchronous ones on a thread that runs the stream's I/O
// service, never inside the call that started them. Pending operations must have completed before the
// stream is destroyed.
//
// Both roads read the answer through one response_parser and write the request with one builder; what
// they do differently is their road_policy (road_policy.hpp).
#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <streambuf>
#include <string>
#include <vector>

#include <boost/asio.hpp>
#include <boost/noncopyable.hpp>

#include "qelhttp/cookies.hpp"
#include "qelhttp/error.hpp"
#include "qelhttp/http_limits.hpp"
#include "qelhttp/request_opts.hpp"
#include "qelhttp/response_parser.hpp"
#include "qelhttp/road_policy.hpp"
#include "qelhttp/settings.hpp"
#include "qelhttp/url.hpp"

namespace qelhttp {

class http_stream : public std::basic_streambuf<char>, private boost::noncopyable {
 public:
  typedef std::function<void(const boost::system::error_code&)> open_handler;
  typedef std::function<void(const boost::system::error_code&, std::size_t)> read_handler;

  explicit http_stream(boost::asio::io_context& io);
  ~http_stream() override;

  void set_proxy(const proxy_settings& proxy);
  void request_options(const request_opts& options);
  request_opts response_options() const { return head_.fields; }
  const request_opts& sent_options() const { return sent_; }
  void close(boost::system::error_code& ec);

  int status() const { return head_.status; }
  int64_t content_length() const { return head_.content_length; }
  const std::string& content_type() const { return head_.content_type; }
  const std::string& location() const { return head_.location; }
  const url& current_url() const { return url_; }
  bool keep_alive() const { return keep_alive_; }
  int redirect_count() const { return redirect_count_; }
  // How many 301/302 answers in a row an open follows; past it the redirect status is the open's error.
  void set_redirect_limit(int limit) { redirect_limit_ = limit; }
  uint64_t body_bytes() const { return parser_.body_bytes(); }
  // The last answer has ended by its own framing (its length, or its last chunk and trailer): only then may
  // the connection carry the next request.
  bool answer_complete() const { return parser_.current() == response_parser::state::complete; }
  cookies& cookie_jar() { return jar_; }
  boost::asio::ip::tcp::socket* socket() { return socket_.get(); }
  boost::asio::io_context& get_io_service() { return io_; }

  // The synchronous road waits at most this long for any one step to make progress (connection, a write,
  // a read); then it ends with timed_out. 0: no limit.
  void set_sync_timeout(int seconds) { sync_timeout_ms_ = seconds > 0 ? seconds * 1000 : -1; }
  void set_sync_timeout(std::chrono::milliseconds limit) {
    sync_timeout_ms_ = limit.count() > 0 ? static_cast<int>(std::min<int64_t>(limit.count(), INT32_MAX)) : -1;
  }
  // Every wait of the synchronous road also ends at this moment, however often the server sends a byte just
  // in time for the per-step limit (time_point::max(): no such moment).
  void set_sync_deadline(std::chrono::steady_clock::time_point deadline) { sync_deadline_ = deadline; }

  // Synchronous open: on success the status line and headers of u (or of the last redirect target) have
  // been read. A Location that does not parse raises the URL parser's error.
  void open(const url& u, boost::system::error_code& ec);
  template <class Handler>
  void async_open(const url& u, Handler handler) {
    async_open_url(u, open_handler(std::move(handler)));
  }
  void async_open_url(const url& u, open_handler handler);

  void request(const request_opts& options, boost::system::error_code& ec);
  void async_request(const request_opts& options, open_handler handler);
  // The download's re-request on a kept-alive connection: the same as async_request.
  void request_impl(const request_opts& options, open_handler handler);
  void receive_header(boost::system::error_code& ec);

  // Body reading: the number of bytes placed in data; 0 with the error code saying why (or, on a kept-alive
  // connection whose body is complete, with it unchanged).
  std::size_t read_some(char* data, std::size_t size, boost::system::error_code& ec);
  template <class MutableBuffer>
  std::size_t read_some(const MutableBuffer& buffer, boost::system::error_code& ec) {
    return read_some(static_cast<char*>(buffer.data()), buffer.size(), ec);
  }
  // Body bytes the stream has received already, handed over at once without waiting and without a
  // completion; 0 when none are buffered or the body has ended (then read on with async_read_some, which
  // reports the end).
  std::size_t read_buffered(char* data, std::size_t size);
  template <class MutableBuffer, class Handler>
  void async_read_some(const MutableBuffer& buffer, Handler handler) {
    async_read_body(static_cast<char*>(buffer.data()), buffer.size(), read_handler(std::move(handler)));
  }
  void async_read_body(char* data, std::size_t size, read_handler handler);

 protected:
  int_type underflow() override;

 private:
  // What a body read does next, decided from the reader's state and the buffered bytes alike for both
  // roads.
  struct body_step {
    enum kind_type {
      delivered,    // size bytes placed in the caller's buffer
      need_bytes,   // the reader needs socket bytes into the response buffer first
      read_direct,  // at most size body bytes are due from the socket: the synchronous road reads them
                    // straight into the caller's buffer, the asynchronous one into the response buffer
      ended,        // the body is over or failed: ec, or the caller's error code left alone when keep_ec
    } kind;
    size_t size;
    boost::system::error_code ec;
    bool keep_ec;
  };

  // Shared by both roads (http_stream.cpp).
  void start_open(const url& u);
  bool route(std::string& host, std::string& service, boost::system::error_code& ec);
  bool build_request(const request_opts& options, const road_policy& road, boost::system::error_code& ec);
  void begin_head();
  bool ready_for_request();
  void end_reuse();
  bool head_from_buffer(boost::system::error_code& ec);
  boost::system::error_code read_error(const boost::system::error_code& ec, const road_policy& road, bool in_body);
  bool conclude_head(const road_policy& road, boost::system::error_code& ec);
  bool take_redirect();
  bool redirect_target(const road_policy& road, url& next, boost::system::error_code& ec);
  void apply_head();
  body_step next_body_step(char* data, std::size_t size, const road_policy& road);
  body_step body_end(const road_policy& road) const;
  void accept_body(const char* data, std::size_t n);

  // Buffered response bytes.
  size_t buffered() const { return in_.size() - in_pos_; }
  const char* buffered_data() const { return in_.data() + in_pos_; }
  size_t take(char* out, size_t n);
  void consume(size_t n);
  void drop_buffers();

  // The synchronous road (http_stream_sync.cpp).
  std::chrono::steady_clock::time_point step_end() const;
  bool wait_socket(short events, boost::system::error_code& ec);
  void set_read_mark(size_t bytes);
  size_t socket_read(char* data, size_t size, boost::system::error_code& ec);
  bool sync_fill(boost::system::error_code& ec);
  bool sync_write(const std::string& data, boost::system::error_code& ec);
  bool sync_connect(const boost::asio::ip::tcp::resolver::results_type& endpoints, boost::system::error_code& ec);
  void follow_redirect_sync(boost::system::error_code& ec);

  // The asynchronous road (http_stream_async.cpp).
  void post(open_handler handler, const boost::system::error_code& ec);
  void post(read_handler handler, const boost::system::error_code& ec, std::size_t n);
  void handle_resolve(const boost::system::error_code& ec, const boost::asio::ip::tcp::resolver::results_type& results,
                      open_handler handler);
  void connect_next(size_t index, open_handler handler);
  void handle_connect(open_handler handler, size_t index, const boost::system::error_code& ec);
  void handle_request(const boost::system::error_code& ec, open_handler handler);
  void async_fill(std::function<void(const boost::system::error_code&)> next);
  void read_head(open_handler handler);
  void handle_header(const boost::system::error_code& ec, open_handler handler);
  void read_body(char* data, std::size_t size, read_handler handler, bool initiating);

  // Through a SOCKS proxy (socks_proxy.cpp, socks_proxy_async.cpp): on success the socket carries the
  // tunnel to the URL's host and both buffers are empty.
  void socks_proxy_connect(boost::system::error_code& ec);
  void socks_proxy_handshake(boost::system::error_code& ec);
  bool sync_read_exactly(size_t n, boost::system::error_code& ec);
  void async_socks_proxy_connect(open_handler handler);
  void async_socks_proxy_resolve(const boost::system::error_code& ec,
                                 const boost::asio::ip::tcp::resolver::results_type& results, open_handler handler);
  void socks_connect_from(size_t index, open_handler handler);
  void handle_connect_socks(open_handler handler, size_t index, const boost::system::error_code& ec);
  void handle_socks_process(open_handler handler, const boost::system::error_code& ec);
  void socks_write(open_handler handler);
  void socks_read(size_t n, open_handler handler);

  boost::asio::io_context& io_;
  boost::asio::ip::tcp::resolver resolver_;
  std::unique_ptr<boost::asio::ip::tcp::socket> socket_;
  request_opts sent_;
  request_opts request_options_;
  proxy_settings proxy_;
  std::string protocol_;
  url url_;
  bool keep_alive_ = true;
  int redirect_count_ = 0;
  int redirect_limit_ = 5;
  // Status, length, type, location and response options of the last answer, written by parser_.
  response_head head_;
  response_parser parser_{head_};
  std::string in_;
  size_t in_pos_ = 0;
  std::string request_buffer_;
  char get_area_[16];
  boost::system::error_code stored_error_;
  cookies jar_;

  int sync_timeout_ms_ = -1;
  // The socket's receive low-water mark as last set (1 on a new socket): how many bytes end a wait.
  size_t read_mark_ = 1;
  std::chrono::steady_clock::time_point sync_deadline_ = std::chrono::steady_clock::time_point::max();
  std::vector<boost::asio::ip::tcp::endpoint> endpoints_;
  boost::system::error_code last_connect_error_;
  std::array<char, read_limits::socket_block> chunk_;
  int32_t socks_state_ = 0;                       // detail::socks_state of the asynchronous handshake
  boost::asio::ip::tcp::endpoint socks4_target_;  // resolved here, sent to a SOCKS4 proxy
};

}  // namespace qelhttp
