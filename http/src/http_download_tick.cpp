// The download's one-second tick (resume file, rate, quota, restarts, progress, the end), and what callers
// use from any thread: stop, wait_for_complete and bytes_download.
#include <boost/filesystem/operations.hpp>
#include <cstring>

#include "qelhttp/http_download.hpp"
#include "qelhttp/resume_file.hpp"

using boost::system::error_code;

namespace {

std::chrono::steady_clock::time_point Now() { return std::chrono::steady_clock::now(); }

// Statuses that asking again will not change.
bool EndsForGood(const error_code& ec) {
  return ec == qelhttp::make_error_code(403) || ec == qelhttp::make_error_code(404) ||
         ec == qelhttp::make_error_code(405);
}

}  // namespace

void CHttpDownload::arm_timer() {
  const uint32_t generation = ++tick_generation_;
  error_code ec;
  timer_.expires_from_now(std::chrono::seconds(1), ec);
  if (ec) throw boost::system::system_error(ec, "expires_from_now");
  timer_.async_wait([this, generation](const error_code& e) {
    if (generation == tick_generation_) on_tick(e);
  });
}

// The last byte of the file is on disk: the tick that ends the download runs now rather than at the end
// of the second.
void CHttpDownload::tick_now() {
  early_tick_ = true;
  ++tick_generation_;
  error_code ignored;
  timer_.cancel(ignored);
  boost::asio::post(io_service_, [this] { on_tick(error_code()); });
}

// Under the completion lock, so that a wait on another thread deletes the resume file of the default name
// either after this write or before it, and then for good.
void CHttpDownload::write_resume() {
  if (settings_.piece_size <= 0 || file_size <= 0) return;
  std::lock_guard<std::mutex> hold(complete_mutex_);
  if (meta_dropped_ && !chosen_meta_.empty()) return;
  qelhttp::update_meta(resume_file_, boost::filesystem::path(settings_.meta_file),
                       url_.to_string(qelhttp::url::all_components), file_size, settings_.piece_size,
                       finished_ranges_);
}

void CHttpDownload::on_tick(const error_code& ec) {
  early_tick_ = false;
  ++ticks_;
  if (accept_multi_) write_resume();
  if (abort_ || ec) {
    release_files();
    return;
  }
  stat_->rate = static_cast<int32_t>((static_cast<double>(stat_->rate) * 7 + stat_->bytes_this_tick) * 0.125);
  stat_->bytes_this_tick = 0;
  quota_ = settings_.download_rate_limit;

  error_code failure;
  bool all_done = true;
  {
    std::lock_guard<std::recursive_mutex> hold(connections_mutex_);
    for (size_t i = 0; i < connections_.size(); ++i) {
      if (!tick_connection(i, failure)) all_done = false;
    }
    if (progress_callback) {
      progress_info info;
      memset(&info, 0, sizeof info);
      strncpy(info.path, file_path_.c_str(), sizeof info.path - 1);
      info.file_size = static_cast<int32_t>(file_size);
      info.bytes_downloaded = static_cast<int32_t>(bytes_download());
      info.rate = stat_->rate;
      progress_callback(&info, callback_user);
    }
    if (all_done) {
      // Every connection has ended: a success only when every byte is on disk.
      const bool complete = all_bytes_on_disk();
      error_code ignored;
      timer_.cancel(ignored);
      release_files();
      end_download(complete);
      if (complete && complete_callback) complete_callback(callback_user);
      if (complete) return;
    }
  }
  if (!all_done) {
    arm_timer();
    return;
  }
  report(failure ? failure : error_code(boost::asio::error::timed_out));
}

// One connection at the tick: an idle one, or one that asked for it, is closed and opened again for the
// rest of its range or a new one. True when the connection has ended. failure keeps why one ended without
// its bytes.
bool CHttpDownload::tick_connection(size_t index, error_code& failure) {
  http_stream_object& conn = *connections_[index];
  if (conn.done) {
    if (conn.last_error) failure = conn.last_error;
    return true;
  }
  const bool timed_out = Now() - conn.last_activity > std::chrono::seconds(settings_.time_out);
  if (!timed_out && !conn.retry) return false;
  error_code ignored;
  conn.stream->close(ignored);
  if (EndsForGood(conn.last_error)) {
    conn.done = true;
    failure = conn.last_error;
    return true;
  }
  if (!accept_multi_) {
    abort_ = true;
    conn.done = true;
    --live_connections_;
    failure = boost::asio::error::timed_out;
    return true;
  }
  return !restart(index);
}

// The connection's slot gets a copy with a new stream; the old object lives on while an operation on its
// closed stream is pending. False when no range is left for it.
bool CHttpDownload::restart(size_t index) {
  connection old = connections_[index];
  old->retry = false;
  connection copy = std::make_shared<http_stream_object>(*old);
  copy->stream = std::make_shared<qelhttp::http_stream>(io_service_);
  connections_[index] = copy;
  qelhttp::request_opts options = piece_options(keep_alive_, true);
  const int64_t from = copy->range_begin + copy->range_done;
  if (from <= copy->range_end) {
    set_range(options, from, copy->range_end);
  } else {
    int64_t begin = 0, end = 0;
    if (!allocate_range(begin, end)) {
      copy->done = true;
      --live_connections_;
      return false;
    }
    copy->range_begin = begin;
    copy->range_end = end;
    copy->range_done = 0;
    set_range(options, begin, end);
  }
  copy->last_activity = Now();
  start_piece_open(index, copy, options);
  return true;
}

bool CHttpDownload::all_bytes_on_disk() {
  const int64_t size = file_size;
  if (size == 0) return target_open_;
  return size > 0 && finished_ranges_.is_full();
}

void CHttpDownload::end_download(bool finished) {
  std::lock_guard<std::mutex> hold(complete_mutex_);
  finished_ = finished;
  abort_ = true;
  complete_cond_.notify_all();
}

// The end of a single-connection download: the file is closed before anyone waiting hears of the end.
void CHttpDownload::end_single(bool finished) {
  error_code ignored;
  timer_.cancel(ignored);
  release_files();
  end_download(finished);
  if (finished && complete_callback) complete_callback(callback_user);
}

// A failure that no connection can mend (the target cannot be written): every connection is closed and
// the download ends in both modes.
void CHttpDownload::fail_download(const error_code& ec) {
  {
    std::lock_guard<std::mutex> hold(complete_mutex_);
    abort_ = true;
    complete_cond_.notify_all();
  }
  close_connections();
  report(ec);
}

void CHttpDownload::close_connections() {
  error_code ignored;
  timer_.cancel(ignored);
  std::lock_guard<std::recursive_mutex> hold(connections_mutex_);
  for (const connection& conn : connections_) {
    if (conn->stream) conn->stream->close(ignored);
  }
  if (first_ && first_->stream) first_->stream->close(ignored);
}

// Closes the resume file and the target. A target that holds every byte is cut to the file's size, so an
// earlier, longer file leaves no tail behind.
void CHttpDownload::release_files() {
  resume_file_.close();
  if (!storage_) return;
  storage_.reset();
  const int64_t size = file_size;
  if (settings_.storage_constructor != nullptr || !all_bytes_on_disk()) return;
  error_code ec;
  const uintmax_t on_disk = boost::filesystem::file_size(file_path_, ec);
  if (!ec && on_disk > static_cast<uintmax_t>(size)) {
    boost::filesystem::resize_file(file_path_, static_cast<uintmax_t>(size), ec);
  }
}

void CHttpDownload::stop() {
  {
    std::lock_guard<std::mutex> hold(complete_mutex_);
    abort_ = true;
    complete_cond_.notify_all();
  }
  // Sockets and the timer belong to the I/O thread: closing them runs there, at once when called on it.
  boost::asio::dispatch(io_service_, [this] { close_connections(); });
}

bool CHttpDownload::wait_for_complete() {
  {
    std::unique_lock<std::mutex> hold(complete_mutex_);
    complete_cond_.wait(hold, [this] { return abort_.load(); });
    // The cancelled tick may still be due on the I/O thread: from now on it writes no resume file of the
    // default name, so none is left behind once this wait has returned.
    meta_dropped_ = true;
    error_code ignored;
    if (!default_meta_.empty()) boost::filesystem::remove(default_meta_, ignored);
    if (!chosen_meta_.empty()) boost::filesystem::remove(chosen_meta_, ignored);
  }
  return all_bytes_on_disk();
}

int64_t CHttpDownload::bytes_download() {
  if (file_size >= 0) {
    finished_ranges_.merge();
    return finished_ranges_.range_size();
  }
  std::lock_guard<std::recursive_mutex> hold(connections_mutex_);
  int64_t total = 0;
  for (const connection& conn : connections_) total += conn->bytes;
  return total;
}
