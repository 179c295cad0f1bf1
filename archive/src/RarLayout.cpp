#include "RarLayout.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

namespace QelCompress {

namespace {

const unsigned char kRar4Signature[7] = {0x52, 0x61, 0x72, 0x21, 0x1A, 0x07, 0x00};
const unsigned char kRar5Signature[8] = {0x52, 0x61, 0x72, 0x21, 0x1A, 0x07, 0x01, 0x00};

uint32_t Crc32(const unsigned char* data, size_t size) {
  uLong crc = crc32(0L, Z_NULL, 0);
  // zlib sums at most 4 GiB a call; a header is far smaller.
  return static_cast<uint32_t>(crc32(crc, data, static_cast<uInt>(size)));
}

// ---- RAR 1.5-4.x: blocks of a 7-byte base (CRC16, type, flags, size), data after the header.

const size_t kRar4Base = 7;
const unsigned kRar4Main = 0x73, kRar4File = 0x74, kRar4Service = 0x7A, kRar4End = 0x7B;
const uint64_t kRar4MainVolume = 0x0001, kRar4MainPassword = 0x0080;
const uint64_t kRar4FileSplit = 0x0003, kRar4FilePassword = 0x0004, kRar4FileLarge = 0x0100;
const uint64_t kRar4LongBlock = 0x8000;
const uint64_t kRar4EndNextVolume = 0x0001;
const size_t kRar4FileFields = 25;  // packed and unpacked size, host, CRC, time, version, method, name size, attributes

// The data size a file or service header gives, or false when the header is too short to hold its fields.
bool Rar4File(const std::vector<unsigned char>& head, uint64_t flags, TRarItem* item, uint64_t* data) {
  const unsigned char* body = head.data() + kRar4Base;
  size_t fields = kRar4FileFields + ((flags & kRar4FileLarge) ? 8 : 0);
  if (head.size() < kRar4Base + fields) return false;
  uint64_t packed = LittleEndian(body, 4);
  uint64_t unpacked = LittleEndian(body + 4, 4);
  uint64_t name = LittleEndian(body + 19, 2);
  if (head.size() < kRar4Base + fields + name) return false;
  if (flags & kRar4FileLarge) {
    uint64_t high = LittleEndian(body + 29, 4);
    packed |= LittleEndian(body + 25, 4) << 32;
    // An item archived from a stream marks its size as unknown so.
    item->size_known = !(high == 0x7FFFFFFF && unpacked == 0xFFFFFFFF);
    unpacked |= high << 32;
  }
  item->has_crc = true;
  item->crc = static_cast<uint32_t>(LittleEndian(body + 9, 4));
  item->size = unpacked;
  item->split = (flags & kRar4FileSplit) != 0;
  item->encrypted = (flags & kRar4FilePassword) != 0;
  *data = packed;
  return true;
}

// Reads one block at `at`: false ends the reading (the layout says whether it ended complete).
bool Rar4Block(const CArchiveBytes& bytes, uint64_t size, uint64_t* at, TRarLayout* layout) {
  std::vector<unsigned char> head;
  if (size - *at < kRar4Base || !bytes.Read(*at, kRar4Base, &head)) return false;
  unsigned type = head[2];
  uint64_t flags = LittleEndian(&head[3], 2);
  uint64_t headSize = LittleEndian(&head[5], 2);
  if (headSize < kRar4Base || headSize > size - *at || !bytes.Read(*at, headSize, &head)) return false;
  if ((Crc32(&head[2], head.size() - 2) & 0xFFFF) != LittleEndian(&head[0], 2)) return false;
  uint64_t data = 0;
  if (type == kRar4Main) {
    layout->volume = layout->volume || (flags & kRar4MainVolume);
    if (flags & kRar4MainPassword) {
      layout->encrypted_headers = true;
      return false;
    }
  } else if (type == kRar4File || type == kRar4Service) {
    TRarItem item;
    if (!Rar4File(head, flags, &item, &data)) return false;
    if (type == kRar4File) layout->items.push_back(item);
  } else if (type == kRar4End) {
    layout->volume = layout->volume || (flags & kRar4EndNextVolume);
    layout->complete = true;
    return false;
  } else if (flags & kRar4LongBlock) {
    if (headSize < kRar4Base + 4) return false;
    data = LittleEndian(&head[kRar4Base], 4);
  }
  if (data > size - *at - headSize) return false;
  *at += headSize + data;
  return true;
}

void ReadRar4(const CArchiveBytes& bytes, uint64_t size, TRarLayout* layout) {
  uint64_t at = sizeof kRar4Signature;
  while (Rar4Block(bytes, size, &at, layout)) {
  }
  // Archives of the oldest versions end without an end block, at a block's end.
  if (at == size && !layout->encrypted_headers) layout->complete = true;
}

// ---- RAR5: headers of CRC32, size and fields in variable-length numbers, an extra area at the end of
// the header, data after it.

// A header's fields, read front to back; every read fails past the end.
class CFields {
 public:
  CFields(const unsigned char* p, const unsigned char* end) : m_p(p), m_end(end) {}

  // Seven bits a byte, low first: at most ten bytes, and no bit past the 64th.
  bool Number(uint64_t* value) {
    uint64_t v = 0;
    for (int i = 0; i < 10 && m_p < m_end; ++i) {
      unsigned char byte = *m_p++;
      if (i == 9 && (byte & 0x7E)) return false;
      v |= static_cast<uint64_t>(byte & 0x7F) << (7 * i);
      if (!(byte & 0x80)) {
        *value = v;
        return true;
      }
    }
    return false;
  }

  bool Skip(uint64_t count) {
    if (count > static_cast<uint64_t>(m_end - m_p)) return false;
    m_p += count;
    return true;
  }

  bool Fixed32(uint32_t* value) {
    if (m_end - m_p < 4) return false;
    *value = static_cast<uint32_t>(LittleEndian(m_p, 4));
    m_p += 4;
    return true;
  }

  // The next count bytes as fields of their own.
  bool Part(uint64_t count, CFields* part) {
    if (count > static_cast<uint64_t>(m_end - m_p)) return false;
    *part = CFields(m_p, m_p + count);
    m_p += count;
    return true;
  }

  bool AtEnd() const { return m_p == m_end; }
  size_t Left() const { return static_cast<size_t>(m_end - m_p); }

 private:
  const unsigned char* m_p;
  const unsigned char* m_end;
};

const unsigned kRar5Main = 1, kRar5File = 2, kRar5Encryption = 4, kRar5End = 5;
const uint64_t kRar5HasExtra = 0x0001, kRar5HasData = 0x0002, kRar5Split = 0x0008 | 0x0010;
const uint64_t kRar5ArchiveVolume = 0x0001;
const uint64_t kRar5FileTime = 0x0002, kRar5FileCrc = 0x0004, kRar5FileSizeUnknown = 0x0008;
const uint64_t kRar5EndMoreVolumes = 0x0001;
const uint64_t kRar5RecordEncryption = 1, kRar5RecordRedirection = 5;
const uint64_t kRar5RedirectJunction = 3;  // 1 and 2 are symbolic links, 4 a hard link, 5 a file copy
// The longest header a writer makes; a longer size is a lie, never read into memory.
const uint64_t kRar5MaxHeader = 2 * 1024 * 1024;
const size_t kRar5HeaderLead = 4 + 10;  // the CRC and the longest size field

bool Rar5Records(CFields extra, TRarItem* item) {
  while (!extra.AtEnd()) {
    uint64_t size = 0, type = 0;
    CFields record(nullptr, nullptr);
    if (!extra.Number(&size) || size == 0 || !extra.Part(size, &record) || !record.Number(&type)) return false;
    if (type == kRar5RecordEncryption) item->encrypted = true;
    if (type != kRar5RecordRedirection) continue;
    uint64_t kind = 0;
    if (!record.Number(&kind)) return false;
    if (kind >= 1 && kind <= kRar5RedirectJunction) {
      item->link_in_header = true;
    } else {
      item->copy = true;  // a hard link, a file copy, or a kind not known: no bytes of its own
    }
  }
  return true;
}

bool Rar5File(CFields fields, CFields extra, uint64_t flags, TRarItem* item) {
  uint64_t fileFlags = 0, attributes = 0, method = 0, host = 0, name = 0;
  uint32_t skipped = 0;
  if (!fields.Number(&fileFlags) || !fields.Number(&item->size) || !fields.Number(&attributes)) return false;
  if ((fileFlags & kRar5FileTime) && !fields.Fixed32(&skipped)) return false;
  item->has_crc = (fileFlags & kRar5FileCrc) != 0;
  if (item->has_crc && !fields.Fixed32(&item->crc)) return false;
  if (!fields.Number(&method) || !fields.Number(&host) || !fields.Number(&name) || !fields.Skip(name)) return false;
  item->size_known = !(fileFlags & kRar5FileSizeUnknown);
  item->split = (flags & kRar5Split) != 0;
  return Rar5Records(extra, item);
}

// Reads one header at `at`: false ends the reading (the layout says whether it ended complete).
bool Rar5Header(const CArchiveBytes& bytes, uint64_t size, uint64_t* at, TRarLayout* layout) {
  std::vector<unsigned char> head;
  uint64_t lead = std::min<uint64_t>(size - *at, kRar5HeaderLead);
  if (lead <= 4 || !bytes.Read(*at, lead, &head)) return false;
  CFields sizeField(head.data() + 4, head.data() + head.size());
  uint64_t headSize = 0;
  if (!sizeField.Number(&headSize) || headSize == 0 || headSize > kRar5MaxHeader) return false;
  uint64_t total = 4 + (lead - 4 - sizeField.Left()) + headSize;
  if (total > size - *at || !bytes.Read(*at, total, &head)) return false;
  if (Crc32(&head[4], head.size() - 4) != LittleEndian(&head[0], 4)) return false;
  const unsigned char* end = head.data() + head.size();
  CFields fields(end - headSize, end);
  uint64_t type = 0, flags = 0, extraSize = 0, data = 0;
  if (!fields.Number(&type) || !fields.Number(&flags)) return false;
  if ((flags & kRar5HasExtra) && !fields.Number(&extraSize)) return false;
  if ((flags & kRar5HasData) && !fields.Number(&data)) return false;
  // The extra area is the header's last bytes: it cannot be longer than what is left of it.
  if (extraSize > fields.Left()) return false;
  CFields own(nullptr, nullptr), extra(nullptr, nullptr);
  fields.Part(fields.Left() - extraSize, &own);
  fields.Part(extraSize, &extra);
  uint64_t value = 0;
  if (type == kRar5Main) {
    if (!own.Number(&value)) return false;
    layout->volume = layout->volume || (value & kRar5ArchiveVolume);
  } else if (type == kRar5File) {
    TRarItem item;
    if (!Rar5File(own, extra, flags, &item)) return false;
    layout->items.push_back(item);
  } else if (type == kRar5Encryption) {
    layout->encrypted_headers = true;
    return false;
  } else if (type == kRar5End) {
    if (!own.Number(&value)) return false;
    layout->volume = layout->volume || (value & kRar5EndMoreVolumes);
    layout->complete = true;
    return false;
  }
  if (data > size - *at - total) return false;
  *at += total + data;
  return true;
}

void ReadRar5(const CArchiveBytes& bytes, uint64_t size, TRarLayout* layout) {
  uint64_t at = sizeof kRar5Signature;
  while (Rar5Header(bytes, size, &at, layout)) {
  }
}

bool StartsWith(const CArchiveBytes& bytes, uint64_t size, const unsigned char* signature, size_t length) {
  std::vector<unsigned char> head;
  return size >= length && bytes.Read(0, length, &head) && std::memcmp(head.data(), signature, length) == 0;
}

}  // namespace

TRarLayout ReadRarLayout(const CArchiveBytes& bytes) {
  TRarLayout layout;
  uint64_t size = 0;
  if (!bytes.Size(&size)) return layout;
  if (StartsWith(bytes, size, kRar5Signature, sizeof kRar5Signature)) {
    ReadRar5(bytes, size, &layout);
  } else if (StartsWith(bytes, size, kRar4Signature, sizeof kRar4Signature)) {
    ReadRar4(bytes, size, &layout);
  }
  return layout;
}

}  // namespace QelCompress
