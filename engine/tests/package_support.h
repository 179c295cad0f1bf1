#pragma once
// Fixtures of the package tests: zip packages made by Python's zipfile, installers that record how they
// were started, stand-in products (copies of sleep under a chosen file name), and product objects that
// live as long as the process, as the engine's own do (install threads are detached).
#include <string>
#include <vector>

#include "ProductInfo.h"
#include "test_support.h"

namespace enginetest {

struct TZipEntry {
  std::string name;
  std::string data;
  unsigned mode = 0644;      // Unix mode bits recorded with the entry
  size_t random_bytes = 0;   // instead of data: this many incompressible bytes, stored
  bool corrupt = false;      // the entry's stored bytes are changed after its checksum was taken
};

// Writes the zip and returns its MD5 as 32 upper-case hexadecimal digits (empty on failure).
std::string MakeZip(const std::string& path, const std::vector<TZipEntry>& entries);

// A package where a check's download leaves it (in the work folder, named by its MD5) and the update block
// that names it: setup.exe of version, already downloaded. The zip is made at scratch (a path the zip maker
// can name, which a work folder that is no valid text is not) and moved there. Returns its path in the work
// folder, empty when it could not be made or moved.
std::string PlaceDownloadedPackage(const std::string& scratch, const std::string& workFolder,
                                   const std::vector<TZipEntry>& entries, const std::string& version,
                                   TUpdateInfo* info);

// A shell script that writes its working folder, then each argument as "[arg]", one a line, to record;
// the record appears whole once the script is done.
std::string RecorderScript(const std::string& record);

// A copy of sleep named path; started with an argument of seconds it is a running product.
void MakeProgram(const std::string& path);

bool WaitForFile(const std::string& path, int milliseconds = 20000);

// A Python script that lists every item below the folder it is given, one a line in name order: its mode bits
// and kind, with a file's size and digest and a link's target, so that two listings are equal only when the
// trees are, byte for byte and name for name.
std::string TreeScript();
// That listing of folder.
std::string TreeOf(const std::string& folder);

// One install of the package zip (already in the work folder base + code, named after its digest) by
// install_host, a program of its own, with the assignments env before it; what it printed.
std::string RunInstallHost(const std::string& base, const std::string& code, const std::string& zip,
                           const std::string& env = "");

// Never destroyed: an install thread may still be finishing when a test ends.
CProductInfo& KeptProduct();

// A product record as the registry would give it.
TProductInfo Record(const std::string& code, const std::string& execute_file);

}  // namespace enginetest
