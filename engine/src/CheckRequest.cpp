#include "CheckRequest.h"

#include <algorithm>
#include <exception>

#include "qelhttp/http_stream.hpp"
#include "qelplat/heap.h"

struct CCheckConnection::TState {
  boost::asio::io_context io;
  qelhttp::http_stream stream{io};
};

CCheckConnection::CCheckConnection(std::chrono::milliseconds stepLimit, std::chrono::milliseconds attemptLimit)
    : m_stepLimit(stepLimit), m_attemptLimit(attemptLimit), m_state(new TState) {
  // Every product checks on a thread of its own, each reading up to the answer cap: the freed answers must
  // go back to the system, not stay with each thread.
  qelplat::ReturnLargeBlocksToSystem();
  m_state->stream.set_sync_timeout(m_stepLimit);
}

CCheckConnection::~CCheckConnection() = default;

std::string CCheckConnection::LimitText(TClock::time_point attemptEnd) const {
  if (TClock::now() >= attemptEnd) return "answer not complete within " + std::to_string(m_attemptLimit.count()) + " ms";
  return "no data for " + std::to_string(m_stepLimit.count()) + " ms";
}

TCheckAttempt CCheckConnection::Attempt(const std::string& url) {
  TCheckAttempt attempt;
  qelhttp::url target = qelhttp::make_url(url.c_str());
  const TClock::time_point attemptEnd = TClock::now() + m_attemptLimit;
  m_state->stream.set_sync_deadline(attemptEnd);
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
      attempt.body.append(buffer, std::min(n, kMaxAnswerBytes + 1 - attempt.body.size()));
      if (ec == boost::asio::error::timed_out) {
        attempt.read_failed = true;
        attempt.read_error = LimitText(attemptEnd);
        break;
      }
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
