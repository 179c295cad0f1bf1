#pragma once
// The compressed stream's bit packer. Codes and extra bits go out least significant bit first into the
// caller's output buffer, which is emptied through the write function whenever it fills and at the end.
#include <cstddef>
#include <cstdint>
#include <functional>

#include "DeflateStatus.h"

namespace QelCompress {

// Takes a run of compressed bytes; false when they could not all be written.
using DeflateWriteFn = std::function<bool(const uint8_t* data, size_t size)>;

class CDeflateBitWriter {
 public:
  explicit CDeflateBitWriter(TDeflateStatus* status) : status_(status) {}

  // buffer must hold at least 8 bytes. Without a write function the buffer is all the room there is.
  void Begin(uint8_t* buffer, size_t size, DeflateWriteFn write);

  // value holds exactly `length` significant bits, length at most 32.
  void SendBits(uint32_t value, unsigned length) {
    bits_ |= static_cast<uint64_t>(value) << count_;
    count_ += length;
    if (count_ >= 32) SpillWord();
  }
  // Pads the current byte with zero bits.
  void AlignToByte();
  // Raw bytes after AlignToByte (stored blocks).
  void WriteBytes(const uint8_t* data, size_t size);
  // Hands whatever the buffer holds to the write function.
  void Finish();

  // Bits produced so far, the pending ones included.
  uint64_t BitCount() const { return (flushed_ + pos_) * 8 + count_; }
  // Whole bytes produced so far (after Finish: all of them).
  uint64_t ByteCount() const { return flushed_ + pos_; }
  // The write function refused data: nothing more reaches it.
  bool WriteFailed() const { return write_failed_; }

 private:
  void SpillWord();
  void PutByte(uint8_t byte);
  void EmptyBuffer();

  TDeflateStatus* status_;
  uint8_t* buffer_ = nullptr;
  size_t size_ = 0;
  size_t pos_ = 0;
  DeflateWriteFn write_;
  uint64_t flushed_ = 0;
  uint64_t bits_ = 0;
  unsigned count_ = 0;
  bool write_failed_ = false;
};

}  // namespace QelCompress
