#pragma once

namespace QelCompress {

// Packing always writes a zip, whatever type the caller named; unpacking depends on the kind.
class CompressImpl {
 public:
  CompressImpl() = default;
  virtual int Compress(const wchar_t* zipPath, const wchar_t (*files)[260], unsigned* count);
  virtual int DeCompress(const wchar_t* archive, const wchar_t* destDir);
  virtual ~CompressImpl() = default;
};

class RarCompress : public CompressImpl {
 public:
  int DeCompress(const wchar_t* archive, const wchar_t* destDir) override;
};

class ZipCompress : public CompressImpl {
 public:
  int DeCompress(const wchar_t* archive, const wchar_t* destDir) override;
};

}  // namespace QelCompress
