// Preloaded into crash_host by the report clock test: the wall clock reads the moment in QEL_FIXED_TIME
// (seconds since 1970), so that the report's date and the dump's name are known in advance.
#include <cstdlib>
#include <ctime>

extern "C" __attribute__((visibility("default"))) time_t time(time_t* out) {
  const char* fixed = getenv("QEL_FIXED_TIME");
  const time_t now = fixed ? static_cast<time_t>(strtoll(fixed, nullptr, 10)) : 0;
  if (out) *out = now;
  return now;
}
