// The download object, its start and the first connection's answer.
#include "qelhttp/http_download.hpp"

#include <boost/filesystem/operations.hpp>
#include <cctype>
#include <limits>

#include "qelhttp/resume_file.hpp"

using boost::system::error_code;

namespace {

const char kKeepAlive[] = "keep-alive";

std::chrono::steady_clock::time_point Now() { return std::chrono::steady_clock::now(); }

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

namespace qelhttp {
namespace detail {

bool parse_content_range(const std::string& text, int64_t& first, int64_t& last, int64_t& total) {
  if (text.size() < 6 || Lower(text.substr(0, 6)) != "bytes ") return false;
  size_t dash = text.find('-', 6);
  size_t slash = text.find('/', 6);
  if (dash == std::string::npos || slash == std::string::npos || slash < dash) return false;
  if (!read_decimal(text, 6, dash, first) || !read_decimal(text, dash + 1, slash, last) || last < first) return false;
  if (text.compare(slash + 1, std::string::npos, "*") == 0) {
    total = -1;
    return true;
  }
  return read_decimal(text, slash + 1, text.size(), total) && last < total;
}

}  // namespace detail
}  // namespace qelhttp

CHttpDownload::http_stream_object::http_stream_object(const http_stream_object& other)
    : stream(other.stream),
      range_begin(other.range_begin),
      range_end(other.range_end),
      range_done(other.range_done),
      bytes(other.bytes.load()),
      requests(other.requests),
      last_activity(other.last_activity),
      last_error(other.last_error),
      done(other.done),
      retry(other.retry),
      run_begin(other.run_begin),
      run_end(other.run_end),
      answer_last(other.answer_last) {
  std::copy(other.buffer, other.buffer + sizeof buffer, buffer);
}

CHttpDownload::CHttpDownload(boost::asio::io_context& io)
    : io_service_(io), timer_(io), stat_(std::make_shared<download_stat>()) {}

CHttpDownload::~CHttpDownload() = default;

int CHttpDownload::default_piece_size(int64_t size) {
  const int64_t q = size / 2048;
  int64_t p = 16384;
  while (p < q && p < 16777216) p *= 2;
  return static_cast<int>(p);
}

std::string CHttpDownload::meta_file_name(const std::string& url_text) { return qelhttp::meta_file_name(url_text); }

void CHttpDownload::set_url(const qelhttp::url& u) {
  url_ = u;
  std::string name = meta_file_name(url_.to_string(qelhttp::url::all_components));
  std::lock_guard<std::mutex> hold(complete_mutex_);
  default_meta_ = name;
}

void CHttpDownload::report(const error_code& ec) {
  if (!error_callback) return;
  const std::string message = ec.message();
  error_callback(ec.value(), message.c_str(), callback_user);
}

void CHttpDownload::start(const std::string& file_path, const qelhttp::settings& settings, const std::string& url) {
  // The URL first: one that does not parse leaves the object ended, so a wait cannot hang on it.
  error_code ec;
  const std::string text = qelhttp::detail::ansi_to_utf8(url, ec);
  if (ec) throw boost::system::system_error(ec);
  const qelhttp::url parsed = qelhttp::url::from_string(qelhttp::detail::escape_url(text));

  abort_ = false;
  {
    std::lock_guard<std::recursive_mutex> hold(connections_mutex_);
    connections_.clear();
  }
  file_size = -1;
  finished_ = false;
  settings_ = settings;
  // Values that would divide by zero, never end a search or read past the buffer mean their defaults.
  if (settings_.piece_size <= 0) settings_.piece_size = -1;
  if (settings_.pieces_per_request <= 0) settings_.pieces_per_request = 1;
  if (settings_.download_rate_limit < 0) settings_.download_rate_limit = -1;
  if (settings_.connections_limit == -1) settings_.connections_limit = 5;
  set_url(parsed);
  file_path_ = file_path;
  target_open_ = false;
  {
    std::lock_guard<std::mutex> hold(complete_mutex_);
    chosen_meta_.clear();
    meta_dropped_ = false;
  }

  first_ = std::make_shared<http_stream_object>();
  qelhttp::request_opts options = settings_.request_options;
  options.insert(qelhttp::http_options::range, "bytes=0-");
  options.insert(qelhttp::http_options::connection, kKeepAlive);
  first_->stream = std::make_shared<qelhttp::http_stream>(io_service_);
  first_->stream->set_proxy(settings_.proxy);
  first_->stream->request_options(options);
  connection conn = first_;
  first_->stream->async_open(url_, [this, conn](const error_code& e) { handle_open(conn, e); });
}

void CHttpDownload::handle_open(connection conn, const error_code& ec) {
  // Stopped before the answer: the caller has been told the download ended; nothing more happens.
  if (abort_) {
    error_code ignored;
    conn->stream->close(ignored);
    return;
  }
  if (ec) {
    report(ec);
    end_download(false);
    return;
  }
  const std::string& location = conn->stream->location();
  if (!location.empty()) {
    error_code parse_error;
    qelhttp::url moved = qelhttp::url::from_string(qelhttp::detail::escape_url(location), parse_error);
    // A location without a host would send every later connection nowhere.
    if (!parse_error && !moved.host().empty()) set_url(moved);
  }
  if (!take_first_answer(conn)) {
    // A partial answer that does not start at byte 0 would be written at the wrong place.
    report(qelhttp::make_error_code(qelhttp::errc::malformed_response_headers));
    end_download(false);
    return;
  }
  // The storage first: the restore asks it whether it holds what the resume file claims.
  if (!open_storage()) return;
  if (accept_multi_) restore_resume();
  if (file_size > 0 && finished_ranges_.is_full()) {
    // Complete already: every piece is on disk.
    storage_.reset();
    error_code ignored;
    if (settings_.storage_constructor == nullptr &&
        boost::filesystem::file_size(file_path_, ignored) > static_cast<uintmax_t>(file_size.load())) {
      boost::filesystem::resize_file(file_path_, static_cast<uintmax_t>(file_size.load()), ignored);
    }
    conn->stream->close(ignored);
    end_download(false);
    return;
  }
  if (settings_.piece_size == -1 && file_size >= 0) settings_.piece_size = default_piece_size(file_size);
  finished_ = false;
  live_connections_ = 1;
  {
    std::lock_guard<std::recursive_mutex> hold(connections_mutex_);
    connections_.push_back(conn);
  }
  start_first_connection(conn);
  if (accept_multi_ && !abort_) open_extra_connections();
  // Armed even when the download ended meanwhile: that tick then closes the files.
  arm_timer();
}

// Mode, size and keep-alive from the first answer. The size of a 206 is the total of its Content-Range
// (its Content-Length is only the part sent); a 200's is its Content-Length. A 206 without Content-Range
// to our "bytes=0-" is the whole file: its Content-Length is the size, and since no piece answer of that
// server could be checked against its range, it is read over this one connection. False for a 206 whose
// range does not begin at byte 0.
bool CHttpDownload::take_first_answer(const connection& conn) {
  const qelhttp::request_opts response = conn->stream->response_options();
  const bool partial = response.find(qelhttp::http_options::status_code) == "206";
  const std::string range = response.find(qelhttp::http_options::content_range);
  accept_multi_ = partial && !range.empty() && !settings_.single_connection;
  int64_t size = -1;
  if (partial && !range.empty()) {
    int64_t first = 0, last = 0, total = -1;
    if (qelhttp::detail::parse_content_range(range, first, last, total)) {
      if (first != 0) return false;
      size = total;
    }
  } else {
    // The stream's own reader of the field, which framed this very answer: the two never disagree.
    uint64_t length = 0;
    if (qelhttp::detail::parse_content_length(response.find(qelhttp::http_options::content_length), length)) {
      size = static_cast<int64_t>(length);
    }
  }
  if (size < 0) accept_multi_ = false;
  if (size >= 0) file_size = size;
  // Both fields start empty for this file, even when an earlier download on this object had the same size.
  requested_ranges_.reset(std::max<int64_t>(size, 0));
  finished_ranges_.reset(std::max<int64_t>(size, 0));
  if (accept_multi_) keep_alive_ = Lower(response.find(qelhttp::http_options::connection)) == kKeepAlive;
  return true;
}

// Takes up a previous run's state from the resume file. A file that is unusable, from another file, or
// that claims pieces the storage does not hold is deleted, and the download starts anew.
void CHttpDownload::restore_resume() {
  if (settings_.meta_file.empty()) {
    const std::string name = meta_file_name(url_.to_string(qelhttp::url::all_components));
    settings_.meta_file = boost::filesystem::path(name).wstring();
    std::lock_guard<std::mutex> hold(complete_mutex_);
    chosen_meta_ = name;
  }
  const boost::filesystem::path meta(settings_.meta_file);
  qelhttp::resume_state state;
  qelhttp::restore_result result = qelhttp::restore_meta(meta, file_size, state);
  if (result == qelhttp::restore_result::restored) {
    qelhttp::range_field claimed;
    claimed.reset(state.file_size);
    claimed.bitfield_to_range(state.pieces, state.piece_size);
    claimed.merge();
    const std::map<int64_t, int64_t> ranges = claimed.ranges();
    if (!ranges.empty() && !storage_holds(ranges.rbegin()->second)) result = qelhttp::restore_result::rejected;
  }
  if (result == qelhttp::restore_result::rejected) {
    resume_file_.close();
    error_code ignored;
    boost::filesystem::remove(meta, ignored);
    return;
  }
  if (result != qelhttp::restore_result::restored) return;
  if (settings_.use_meta_url && !state.final_url.empty()) {
    error_code parse_error;
    qelhttp::url stored = qelhttp::url::from_string(state.final_url, parse_error);
    if (!parse_error) set_url(stored);
  }
  file_size = state.file_size;
  settings_.piece_size = state.piece_size;
  qelhttp::apply_resume(state, requested_ranges_, finished_ranges_);
}

// The storage the download writes holds every byte before end: the last of them reads back. A caller's
// own storage may keep its bytes anywhere, so the target path is no witness.
bool CHttpDownload::storage_holds(int64_t end) {
  if (end <= 0) return true;
  char byte = 0;
  return storage_ && storage_->read(&byte, end - 1, 1) == 1;
}

bool CHttpDownload::open_storage() {
  storage_.reset();
  storage_.reset(settings_.storage_constructor ? settings_.storage_constructor()
                                               : qelhttp::default_storage_constructor());
  error_code ec;
  if (storage_) {
    storage_->open(boost::filesystem::path(file_path_), ec);
  } else {
    ec = error_code(ENOMEM, boost::system::generic_category());
  }
  if (ec) {
    report(ec);
    end_download(false);
    return false;
  }
  target_open_ = true;
  return true;
}

// The first connection goes on reading its answer when its range starts the file; otherwise (a resumed
// download) it asks again for its range.
void CHttpDownload::start_first_connection(connection conn) {
  conn->last_activity = Now();
  if (!accept_multi_) {
    start_read(0, conn, false);
    return;
  }
  int64_t begin = 0, end = 0;
  if (!allocate_range(begin, end)) {
    conn->done = true;
    return;
  }
  conn->range_begin = begin;
  conn->range_end = end;
  conn->stream->set_redirect_limit(0);
  if (begin == 0) {
    start_read(0, conn, false);
    return;
  }
  error_code ec;
  conn->stream->close(ec);
  if (ec) {
    report(ec);
    end_download(false);
    return;
  }
  qelhttp::request_opts options = piece_options(true, keep_alive_);
  set_range(options, begin, end);
  start_piece_open(0, conn, options);
}

void CHttpDownload::open_extra_connections() {
  for (int i = 1; i < settings_.connections_limit; ++i) {
    connection conn = std::make_shared<http_stream_object>();
    conn->stream = std::make_shared<qelhttp::http_stream>(io_service_);
    int64_t begin = 0, end = 0;
    if (!allocate_range(begin, end)) continue;
    conn->range_begin = begin;
    conn->range_end = end;
    size_t index = 0;
    {
      std::lock_guard<std::recursive_mutex> hold(connections_mutex_);
      connections_.push_back(conn);
      index = connections_.size() - 1;
    }
    conn->last_activity = Now();
    ++live_connections_;
    qelhttp::request_opts options = piece_options(true, keep_alive_);
    set_range(options, begin, end);
    start_piece_open(index, conn, options);
  }
}
