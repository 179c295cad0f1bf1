#pragma once
// One file fetched over HTTP into a local file. When the server answers the first request with 206 and the
// settings allow it, the file is cut into byte ranges fetched over several connections, with a resume file
// and restarts of idle connections; otherwise the first connection reads the whole body.
//
// Everything runs as asynchronous operations on the caller's I/O service, driven by the one thread that
// runs it; the callbacks run on that thread. stop, wait_for_complete and bytes_download may be called from
// any thread. Lock order: the connection list, then the completion lock. The progress and completion
// callbacks run with the connection list locked; the error callback runs without any lock and may call stop.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <boost/asio.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/noncopyable.hpp>

#include "qelhttp/http_stream.hpp"
#include "qelhttp/range_field.hpp"
#include "qelhttp/settings.hpp"
#include "qelhttp/storage.hpp"

namespace qelhttp {
namespace detail {

// A Content-Range value "bytes first-last/total" (total -1 for "*"). False for anything else, also for a
// range whose last byte comes before its first or lies past a known total.
bool parse_content_range(const std::string& text, int64_t& first, int64_t& last, int64_t& total);

}  // namespace detail
}  // namespace qelhttp

class CHttpDownload : private boost::noncopyable {
 public:
  // Handed to the progress callback once a second; crosses into the engine's messages unchanged.
  struct progress_info {
    char path[500];            // the target path, at most 499 characters, NUL-terminated
    int32_t file_size;         // low 32 bits, -1 when unknown
    int32_t bytes_downloaded;  // low 32 bits
    int32_t rate;              // bytes per second, smoothed
  };

  // One connection. Shared between the connection list and the handlers in flight, so an object the tick
  // has replaced lives until its last pending operation has completed. Every field belongs to the I/O
  // thread but bytes, which bytes_download reads from any thread.
  struct http_stream_object {
    http_stream_object() = default;
    // A restarted connection goes on with every field of the one it replaces (its stream included, which
    // the restart then swaps for a new one).
    http_stream_object(const http_stream_object& other);
    http_stream_object& operator=(const http_stream_object&) = delete;

    std::shared_ptr<qelhttp::http_stream> stream;
    char buffer[1024];
    int64_t range_begin = 0;
    int64_t range_end = 0;   // inclusive
    int64_t range_done = 0;  // the next byte belongs at range_begin + range_done
    std::atomic<int64_t> bytes{0};  // everything this connection received; read by bytes_download
    int32_t requests = 0;           // further requests answered on this kept-alive connection
    std::chrono::steady_clock::time_point last_activity;
    boost::system::error_code last_error;
    bool done = false;
    bool retry = false;
    // The bytes this connection wrote without a gap, recorded in the finished field as one growing range
    // rather than one entry per read.
    int64_t run_begin = 0;
    int64_t run_end = -1;
    // The last byte of the file the current answer carries by its Content-Range; -1 while it is the first
    // connection's answer to "bytes=0-", which runs on to the end of the file.
    int64_t answer_last = -1;
  };

  struct download_stat {
    int32_t bytes_this_tick = 0;
    int32_t rate = 0;
  };

  typedef void (*error_callback_type)(int code, const char* message, void* user);
  typedef void (*progress_callback_type)(progress_info* info, void* user);
  typedef void (*complete_callback_type)(void* user);

  explicit CHttpDownload(boost::asio::io_context& io);
  virtual ~CHttpDownload();

  // Begins the download; the work happens while the caller runs the I/O service. A URL that does not
  // convert or parse raises the URL parser's error; then nothing was started and a wait returns at once.
  void start(const std::string& file_path, const qelhttp::settings& settings, const std::string& url);
  // Ends the download from any thread, also from inside the error callback. The sockets and the timer are
  // closed on the I/O thread.
  void stop();
  // Blocks until the download has ended; true when every byte of the file is on disk. Deletes the resume
  // file of the default name.
  bool wait_for_complete();
  // Bytes written so far (known size), or received so far (unknown size).
  int64_t bytes_download();
  // The download ended because every byte arrived.
  bool finished() const { return finished_; }

  static int default_piece_size(int64_t size);
  static std::string meta_file_name(const std::string& url_text);

  error_callback_type error_callback = nullptr;
  progress_callback_type progress_callback = nullptr;
  complete_callback_type complete_callback = nullptr;
  void* callback_user = nullptr;
  // Size of the file, -1 while unknown.
  std::atomic<int64_t> file_size{-1};

 private:
  typedef std::shared_ptr<http_stream_object> connection;

  // The first connection and its answer.
  void handle_open(connection conn, const boost::system::error_code& ec);
  bool take_first_answer(const connection& conn);
  void restore_resume();
  bool storage_holds(int64_t end);
  bool open_storage();
  void start_first_connection(connection conn);
  void open_extra_connections();

  // Piece connections.
  bool allocate_range(int64_t& begin, int64_t& end);
  qelhttp::request_opts piece_options(bool connection_entry, bool keep_alive) const;
  static void set_range(qelhttp::request_opts& options, int64_t begin, int64_t end);
  void start_piece_open(size_t index, connection conn, const qelhttp::request_opts& options);
  void handle_piece_open(size_t index, connection conn, const boost::system::error_code& ec);
  void handle_request(size_t index, connection conn, const boost::system::error_code& ec);
  boost::system::error_code check_piece_answer(const connection& conn, int64_t& last) const;
  void start_read(size_t index, connection conn, bool limited);
  size_t read_size(http_stream_object& conn, bool limited);
  void read_async(size_t index, connection conn, size_t n);
  void handle_read(size_t index, connection conn, size_t requested, size_t bytes, boost::system::error_code ec);
  bool take_block(size_t index, const connection& conn, size_t requested, size_t bytes, boost::system::error_code ec);
  bool write_block(http_stream_object& conn, size_t bytes, boost::system::error_code& ec);
  static int64_t answer_left(const http_stream_object& conn);
  void answer_over(size_t index, connection conn);
  void finish_answer(size_t index, connection conn);
  void leave_to_tick(http_stream_object& conn);
  void ask_next(size_t index, connection conn);
  void ask_range(size_t index, connection conn);

  // The tick and the ending.
  void arm_timer();
  void tick_now();
  void on_tick(const boost::system::error_code& ec);
  void write_resume();
  bool tick_connection(size_t index, boost::system::error_code& failure);
  bool restart(size_t index);
  bool all_bytes_on_disk();
  void end_download(bool finished);
  void end_single(bool finished);
  void fail_download(const boost::system::error_code& ec);
  void close_connections();
  void release_files();
  void report(const boost::system::error_code& ec);
  void set_url(const qelhttp::url& u);

  // Who may touch what: the fields below are grouped by the thread or the lock that guards them. The public
  // callbacks and callback_user are set by the caller before start and only read afterwards; file_size is
  // atomic, written on the I/O thread and read anywhere.

  // Fixed at construction.
  boost::asio::io_context& io_service_;

  // Set by start on the caller's thread before the I/O service runs; from then on read and changed only on
  // the I/O thread (handlers and the tick). start must not be called while a download runs.
  qelhttp::url url_;
  std::string file_path_;
  qelhttp::settings settings_;
  // The first connection from start until its answer has put it into the list, so that a stop before the
  // answer can close it (closing runs on the I/O thread).
  connection first_;

  // The I/O thread only.
  bool accept_multi_ = false;
  bool keep_alive_ = false;
  boost::asio::steady_timer timer_;
  std::shared_ptr<download_stat> stat_;
  int32_t live_connections_ = 0;
  int32_t ticks_ = 0;
  std::unique_ptr<qelhttp::storage_interface> storage_;
  qelhttp::file resume_file_;
  int64_t search_origin_ = 0;
  int32_t quota_ = -1;
  // Each armed wait of the timer carries the generation it was armed in; a wait replaced by an early tick
  // ends without ticking.
  uint32_t tick_generation_ = 0;
  bool early_tick_ = false;

  // connections_mutex_: the list itself, which stop and bytes_download read from other threads. The
  // connection objects' fields belong to the I/O thread, but for their atomic byte counts. Taken before
  // complete_mutex_ where both are held; recursive so that a callback run under it may still ask for the
  // bytes or stop the download.
  std::recursive_mutex connections_mutex_;
  std::vector<connection> connections_;

  // range_mutex_: serialises allocate_range. The range fields lock themselves, so bytes_download may read
  // finished_ranges_ from any thread.
  std::mutex range_mutex_;
  qelhttp::range_field requested_ranges_;
  qelhttp::range_field finished_ranges_;

  // complete_mutex_: the end of the download and the resume file's fate. abort_ and finished_ are atomic
  // and may be read anywhere; every end sets them and wakes complete_cond_ under the lock, so a waiter
  // cannot miss the end.
  std::mutex complete_mutex_;
  std::condition_variable complete_cond_;
  std::atomic<bool> abort_{true};
  std::atomic<bool> finished_{false};
  // The target was opened for this download: with a size of 0 that is the whole file.
  std::atomic<bool> target_open_{false};
  // meta_file_name of the current URL, which wait_for_complete deletes.
  std::string default_meta_;
  // The resume file the download writes when the caller named none (empty otherwise). Once a wait has
  // deleted it (meta_dropped_), no tick writes it again.
  std::string chosen_meta_;
  bool meta_dropped_ = false;
};

static_assert(sizeof(CHttpDownload::progress_info) == 512, "progress record layout");
