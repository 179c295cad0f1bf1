#include "CheckRequest.h"

#include <exception>

#include "qelhttp/http_stream.hpp"

struct CCheckConnection::TState {
  boost::asio::io_context io;
  qelhttp::http_stream stream{io};
};

CCheckConnection::CCheckConnection() : m_state(new TState) {
  m_state->stream.set_sync_timeout(kStepTimeoutSeconds);
}

CCheckConnection::~CCheckConnection() = default;

TCheckAttempt CCheckConnection::Attempt(const std::string& url) {
  TCheckAttempt attempt;
  qelhttp::url target = qelhttp::make_url(url.c_str());
  boost::system::error_code ec;
  m_state->stream.open(target, ec);
  if (ec) {
    attempt.error_value = ec.value();
    attempt.error_text = ec.message();
    return attempt;
  }
  attempt.opened = true;
  char buffer[500];
  try {
    for (;;) {
      size_t n = m_state->stream.read_some(buffer, sizeof buffer, ec);
      attempt.body.append(buffer, n);
      if (ec || n == 0) break;
      if (attempt.body.size() > kMaxAnswerBytes) {
        attempt.read_failed = true;
        attempt.read_error = "answer larger than " + std::to_string(kMaxAnswerBytes) + " bytes";
        break;
      }
    }
  } catch (const std::exception& e) {
    attempt.read_failed = true;
    attempt.read_error = e.what();
  }
  return attempt;
}
