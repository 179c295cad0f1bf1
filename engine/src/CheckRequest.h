#pragma once
// One attempt of the check request: a GET of the check URL on a fresh connection and its whole body.
#include <string>

struct TCheckAttempt {
  bool opened = false;      // the request was sent and the answer's head read
  int error_value = 0;      // when not opened: the error's number
  std::string error_text;   // and its message
  std::string body;         // the body as read (also when reading failed part-way)
  bool read_failed = false; // reading raised an error; read_error holds its text
  std::string read_error;
};

TCheckAttempt RunCheckAttempt(const std::string& url);
