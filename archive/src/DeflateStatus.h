#pragma once
// The compressor's one message slot. The first failed check records its text and every later step stops:
// each of the checks guards a read or write that would otherwise go out of range or a stream that
// inflaters would reject, so carrying on would only spread the damage.

namespace QelCompress {

struct TDeflateStatus {
  const char* message = nullptr;

  void Fail(const char* text) {
    if (!message) message = text;
  }
  bool Failed() const { return message != nullptr; }
};

}  // namespace QelCompress
