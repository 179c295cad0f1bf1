#include "DeflateBitWriter.h"

#include <algorithm>
#include <cstring>

namespace QelCompress {

void CDeflateBitWriter::Begin(uint8_t* buffer, size_t size, DeflateWriteFn write) {
  buffer_ = buffer;
  size_ = size;
  pos_ = 0;
  write_ = std::move(write);
  flushed_ = 0;
  bits_ = 0;
  count_ = 0;
  write_failed_ = false;
}

void CDeflateBitWriter::SpillWord() {
  if (size_ - pos_ < 4) EmptyBuffer();
  if (size_ - pos_ < 4) return;  // no room and no way to make any: the status says so
  uint32_t word = static_cast<uint32_t>(bits_);
  buffer_[pos_] = static_cast<uint8_t>(word);
  buffer_[pos_ + 1] = static_cast<uint8_t>(word >> 8);
  buffer_[pos_ + 2] = static_cast<uint8_t>(word >> 16);
  buffer_[pos_ + 3] = static_cast<uint8_t>(word >> 24);
  pos_ += 4;
  bits_ >>= 32;
  count_ -= 32;
}

void CDeflateBitWriter::PutByte(uint8_t byte) {
  if (pos_ == size_) EmptyBuffer();
  if (pos_ == size_) return;
  buffer_[pos_++] = byte;
}

void CDeflateBitWriter::AlignToByte() {
  count_ = (count_ + 7) & ~7u;
  while (count_ > 0) {
    PutByte(static_cast<uint8_t>(bits_));
    bits_ >>= 8;
    count_ -= 8;
  }
  bits_ = 0;
}

void CDeflateBitWriter::WriteBytes(const uint8_t* data, size_t size) {
  while (size > 0) {
    if (pos_ == size_) EmptyBuffer();
    if (pos_ == size_) return;
    size_t n = std::min(size, size_ - pos_);
    std::memcpy(buffer_ + pos_, data, n);
    pos_ += n;
    data += n;
    size -= n;
  }
}

void CDeflateBitWriter::Finish() { EmptyBuffer(); }

void CDeflateBitWriter::EmptyBuffer() {
  if (!write_) {
    if (pos_ == size_) status_->Fail("output buffer too small for in-memory compression");
    return;
  }
  if (pos_ == 0) return;
  // After a refused write the rest of the entry is dropped, but still counted, so that sizes stay
  // consistent for the caller that reports the failure.
  if (!write_failed_ && !write_(buffer_, pos_)) write_failed_ = true;
  flushed_ += pos_;
  pos_ = 0;
}

}  // namespace QelCompress
