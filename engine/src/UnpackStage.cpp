#include "UnpackStage.h"

#include <boost/filesystem/directory.hpp>
#include <boost/filesystem/operations.hpp>

#include <vector>

namespace fs = boost::filesystem;

namespace {

const int kNameAttempts = 16;
const char kStagePrefix[] = ".qel-unpack-";

bool IsRealFolder(const fs::path& path) {
  boost::system::error_code ec;
  return fs::is_directory(fs::symlink_status(path, ec));
}

bool IsStageName(const fs::path& path) {
  return path.filename().string().compare(0, sizeof kStagePrefix - 1, kStagePrefix) == 0;
}

// A staging folder outlives its install only when the process ended inside it: nothing of it was ever in
// place, so it goes.
void RemoveLeftStages(const fs::path& workFolder) {
  std::vector<fs::path> left;
  boost::system::error_code ec;
  for (fs::directory_iterator it(workFolder, ec), end; !ec && it != end; it.increment(ec)) {
    if (IsStageName(it->path()) && IsRealFolder(it->path())) left.push_back(it->path());
  }
  for (const fs::path& stage : left) fs::remove_all(stage, ec);
}

bool Fit(const fs::path& from, const fs::path& to, bool top) {
  boost::system::error_code ec;
  for (fs::directory_iterator it(from, ec), end; !ec && it != end; it.increment(ec)) {
    fs::path target = to / it->path().filename();
    if (top && IsStageName(target)) return false;  // a package item named like a staging folder
    fs::file_status there = fs::symlink_status(target, ec);
    ec.clear();
    if (!fs::exists(there)) continue;
    bool folder = IsRealFolder(it->path());
    if (folder != fs::is_directory(there)) return false;
    if (folder && !Fit(it->path(), target, false)) return false;
  }
  return !ec;
}

bool Move(const fs::path& from, const fs::path& to) {
  // Listed first: the folder is emptied as it is read.
  std::vector<fs::path> items;
  boost::system::error_code ec;
  for (fs::directory_iterator it(from, ec), end; !ec && it != end; it.increment(ec)) items.push_back(it->path());
  if (ec) return false;
  for (const fs::path& item : items) {
    fs::path target = to / item.filename();
    if (IsRealFolder(item) && IsRealFolder(target)) {
      if (!Move(item, target)) return false;
      continue;
    }
    fs::rename(item, target, ec);
    if (ec) return false;
  }
  return true;
}

}  // namespace

CUnpackStage::CUnpackStage(const std::string& workFolder) : m_workFolder(workFolder) {
  if (workFolder.empty()) return;
  RemoveLeftStages(workFolder);
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    boost::system::error_code ec;
    fs::path stage = fs::path(workFolder) / fs::unique_path(std::string(kStagePrefix) + "%%%%%%%%%%%%", ec);
    if (ec || !fs::create_directory(stage, ec) || ec) continue;
    fs::permissions(stage, fs::owner_all, ec);
    m_stage = stage.string();
    return;
  }
}

CUnpackStage::~CUnpackStage() {
  if (m_stage.empty()) return;
  boost::system::error_code ec;
  fs::remove_all(m_stage, ec);
}

bool CUnpackStage::Fits() const { return !m_stage.empty() && Fit(m_stage, m_workFolder, true); }

bool CUnpackStage::MoveIntoPlace() { return !m_stage.empty() && Move(m_stage, m_workFolder); }
