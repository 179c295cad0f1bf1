#include "CompressImpl.h"

#include "RarReader.h"
#include "ZipReader.h"
#include "ZipWriter.h"

namespace QelCompress {

int CompressImpl::Compress(const wchar_t* zipPath, const wchar_t (*files)[260], unsigned* count) {
  if (!zipPath || !files || !count || *count == 0) return 5;
  return PackIntoZip(zipPath, files, *count);
}

int CompressImpl::DeCompress(const wchar_t*, const wchar_t*) { return 0; }

int ZipCompress::DeCompress(const wchar_t* archive, const wchar_t* destDir) {
  if (!archive || !destDir) return 5;
  return static_cast<int>(UnzipToFolder(archive, destDir));
}

int RarCompress::DeCompress(const wchar_t* archive, const wchar_t* destDir) {
  if (!archive || !destDir) return 5;
  return UnrarToFolder(archive, destDir);
}

}  // namespace QelCompress
