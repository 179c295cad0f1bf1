#include "CheckRequest.h"

TCheckAttempt RunCheckAttempt(const std::string&) {
  // TODO: the engine's HTTP stream is not in this build yet; every attempt fails as a connection failure.
  TCheckAttempt attempt;
  attempt.error_value = -1;
  attempt.error_text = "HTTP client not available";
  return attempt;
}
