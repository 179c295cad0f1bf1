#pragma once
// The check request's connection: one private I/O service and one HTTP stream, opened anew (on a fresh
// connection) for every attempt, on the synchronous road of the calling thread, with a limit on every wait
// and one on the whole attempt.
#include <chrono>
#include <memory>
#include <string>

struct TCheckAttempt {
  bool opened = false;       // the request was sent and the answer's head read
  int error_value = 0;       // when not opened: the error's number
  std::string error_text;    // and its message
  std::string body;          // the body as read (also when reading failed part-way)
  bool read_failed = false;  // reading ended early; read_error says why
  std::string read_error;
};

class CCheckConnection {
 public:
  // No wait for the server may last longer than this: the connection with the answer's head, then each
  // read of the body.
  static constexpr int kStepTimeoutSeconds = 60;
  // The whole attempt (connection, request and answer) ends after this, however slowly the server keeps
  // sending: a server that trickles must not hold the product's work lock, and the service loop behind
  // it, for as long as it likes.
  static constexpr int kAttemptTimeoutSeconds = 120;
  // The answer is a small JSON text: one larger than this is no version record, and reading stops there.
  // Every product's check reads on a thread of its own, so this bounds the client's memory many times over.
  static constexpr size_t kMaxAnswerBytes = 1024 * 1024;

  explicit CCheckConnection(std::chrono::milliseconds stepLimit = std::chrono::seconds(kStepTimeoutSeconds),
                            std::chrono::milliseconds attemptLimit = std::chrono::seconds(kAttemptTimeoutSeconds));
  ~CCheckConnection();
  CCheckConnection(const CCheckConnection&) = delete;
  CCheckConnection& operator=(const CCheckConnection&) = delete;

  // A text that is no URL raises the URL parser's error. An open that passes a time limit fails with the
  // "timed out" error; a body that does, ends with read_failed.
  TCheckAttempt Attempt(const std::string& url);

 private:
  struct TState;
  using TClock = std::chrono::steady_clock;

  std::string LimitText(TClock::time_point attemptEnd) const;

  std::chrono::milliseconds m_stepLimit;
  std::chrono::milliseconds m_attemptLimit;
  std::unique_ptr<TState> m_state;
};
