#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "CompressImpl.h"
#include "QelCompress/QelCompress.h"
#include "qelplat/debugout.h"
#include "qelplat/fileio.h"
#include "qelplat/lasterror.h"

namespace {

const unsigned char kZipSignature[4] = {0x50, 0x4B, 0x03, 0x04};
const unsigned char kRarSignature[6] = {0x52, 0x61, 0x72, 0x21, 0x1A, 0x07};

int TypeOfSignature(const unsigned char* head) {
  if (std::memcmp(head, kZipSignature, sizeof kZipSignature) == 0) return QEL_PACK_ZIP;
  if (std::memcmp(head, kRarSignature, sizeof kRarSignature) == 0 && head[6] <= 2) return QEL_PACK_RAR;
  return QEL_PACK_NONE;
}

void DebugError(const char* format) {
  char text[250];
  std::snprintf(text, sizeof text, format, static_cast<int>(GetLastError()));
  OutputDebugStringA(text);
}

std::unique_ptr<QelCompress::CompressImpl> MakeImpl(int type) {
  if (type == QEL_PACK_RAR) return std::unique_ptr<QelCompress::CompressImpl>(new (std::nothrow) QelCompress::RarCompress);
  if (type == QEL_PACK_ZIP) return std::unique_ptr<QelCompress::CompressImpl>(new (std::nothrow) QelCompress::ZipCompress);
  return nullptr;
}

}  // namespace

int QELPackType(const wchar_t* path, int* type) {
  if (!path || !type) return 5;
  *type = QEL_PACK_NONE;
  HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    DebugError("CreateFile Error,Error Code:%d");
    return 13;
  }
  unsigned char head[7] = {};
  DWORD got = 0;
  SetFilePointer(file, 0, nullptr, FILE_BEGIN);
  if (!ReadFile(file, head, sizeof head, &got, nullptr)) {
    DebugError("ReadFile Error,Error Code:%d");
    CloseHandle(file);
    return 8;
  }
  CloseHandle(file);
  if (got < sizeof head) return -1;
  *type = TypeOfSignature(head);
  return 0;
}

int QELDeCompress(const wchar_t* archive, const wchar_t* destDir) {
  int type = QEL_PACK_NONE;
  int rc = QELPackType(archive, &type);
  if (rc != 0) return rc;
  if (type == QEL_PACK_NONE) return 15;
  std::unique_ptr<QelCompress::CompressImpl> impl = MakeImpl(type);
  if (!impl) return -1;
  return impl->DeCompress(archive, destDir);
}

int QELCompress(const wchar_t* zipPath, const wchar_t (*files)[260], unsigned* count, int type) {
  if (type == QEL_PACK_NONE) return 5;
  if (type != QEL_PACK_RAR && type != QEL_PACK_ZIP) return -1;
  std::unique_ptr<QelCompress::CompressImpl> impl = MakeImpl(type);
  if (!impl) return -1;
  return impl->Compress(zipPath, files, count);
}
