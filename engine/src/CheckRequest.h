#pragma once
// The check request's connection: one private I/O service and one HTTP stream, opened anew (on a fresh
// connection) for every attempt.
#include <memory>
#include <string>

struct TCheckAttempt {
  bool opened = false;       // the request was sent and the answer's head read
  int error_value = 0;       // when not opened: the error's number
  std::string error_text;    // and its message
  std::string body;          // the body as read (also when reading failed part-way)
  bool read_failed = false;  // reading raised an error; read_error holds its text
  std::string read_error;
};

class CCheckConnection {
 public:
  // No step of an attempt may wait longer than this for the server.
  static const int kStepTimeoutSeconds = 60;
  // An answer larger than this is not a version record; reading stops there.
  static const size_t kMaxAnswerBytes = 16 * 1024 * 1024;

  CCheckConnection();
  ~CCheckConnection();
  CCheckConnection(const CCheckConnection&) = delete;
  CCheckConnection& operator=(const CCheckConnection&) = delete;

  // A text that is no URL raises the URL parser's error.
  TCheckAttempt Attempt(const std::string& url);

 private:
  struct TState;
  std::unique_ptr<TState> m_state;
};
