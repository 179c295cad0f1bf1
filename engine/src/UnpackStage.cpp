#include "UnpackStage.h"

#include <boost/filesystem/directory.hpp>
#include <boost/filesystem/operations.hpp>

#include "qelplat/lasterror.h"
#include "qelplat/movefile.h"

namespace fs = boost::filesystem;

namespace {

const int kNameAttempts = 16;
const char kStagePrefix[] = ".qel-unpack-";
// Where a work folder item waits while it trades places with a package item on a file system that cannot
// swap two names in one step. Named like a staging folder, which no package item may be (see Fit).
const char kAsideName[] = ".qel-unpack-aside";

bool IsRealFolder(const fs::path& path) {
  boost::system::error_code ec;
  return fs::is_directory(fs::symlink_status(path, ec));
}

bool Exists(const fs::path& path) {
  boost::system::error_code ec;
  return fs::exists(fs::symlink_status(path, ec));
}

bool IsStageName(const fs::path& path) {
  return path.filename().string().compare(0, sizeof kStagePrefix - 1, kStagePrefix) == 0;
}

// A staging folder outlives its install only when the process ended inside it: nothing of it is still to
// come into place, so it goes, unless a living process holds it (another client's install sharing this work
// folder is still going on).
void RemoveLeftStages(const fs::path& workFolder) {
  std::vector<fs::path> left;
  boost::system::error_code ec;
  for (fs::directory_iterator it(workFolder, ec), end; !ec && it != end; it.increment(ec)) {
    if (IsStageName(it->path()) && IsRealFolder(it->path())) left.push_back(it->path());
  }
  for (const fs::path& stage : left) {
    qelplat::CFolderHold hold;
    // Held while it is removed, so that no other process's clearing away meets it half removed. Where no
    // folder can be held, none can be told dead either: it stays.
    if (hold.TryHold(stage.string()) == qelplat::HOLD_TAKEN) fs::remove_all(stage, ec);
  }
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

// The moves made so far, each of which can be taken back: a package item moved to a name the work folder did
// not have, or swapped with the work folder item of its name, which then waits in the staging folder.
class CMoveJournal {
 public:
  explicit CMoveJournal(const fs::path& aside) : m_aside(aside) {}

  // The package item takes the place of the work folder item target, or of nothing.
  bool Place(const fs::path& item, const fs::path& target, TMoveFailure* failure) {
    if (!Exists(target)) return Move(item, target, target, failure);
    if (qelplat::ExchangePaths(item.string(), target.string())) {
      m_steps.push_back({item, target, target, true});
      return true;
    }
    if (GetLastError() != qelplat::ERROR_NOT_SUPPORTED) return Fail(target, failure);
    // Three moves through a name of the staging folder, each taken back like any other.
    return Move(target, m_aside, target, failure) && Move(item, target, target, failure) &&
           Move(m_aside, item, target, failure);
  }

  // from goes to a name nothing holds; reported is the work folder item it concerns.
  bool Move(const fs::path& from, const fs::path& to, const fs::path& reported, TMoveFailure* failure) {
    if (!MoveFileExA(from.c_str(), to.c_str(), 0)) return Fail(reported, failure);
    m_steps.push_back({from, to, reported, false});
    return true;
  }

  // Every move taken back, the last first; the work folder items that could not come back. A move back goes
  // to a name just left free, so it needs no room a full disk could refuse.
  std::vector<TMoveFailure> Undo() {
    std::vector<TMoveFailure> unrestored;
    for (auto step = m_steps.rbegin(); step != m_steps.rend(); ++step) {
      bool back = step->exchanged ? qelplat::ExchangePaths(step->from.string(), step->to.string())
                                  : MoveFileExA(step->to.c_str(), step->from.c_str(), 0);
      if (!back) unrestored.push_back({step->reported.string(), GetLastError()});
    }
    m_steps.clear();
    return unrestored;
  }

 private:
  struct TStep {
    fs::path from;
    fs::path to;
    fs::path reported;
    bool exchanged;
  };

  static bool Fail(const fs::path& reported, TMoveFailure* failure) {
    *failure = {reported.string(), GetLastError()};
    return false;
  }

  fs::path m_aside;
  std::vector<TStep> m_steps;
};

bool MoveTree(const fs::path& from, const fs::path& to, CMoveJournal* journal, TMoveFailure* failure) {
  // Listed first: the folder changes as it is read.
  std::vector<fs::path> items;
  boost::system::error_code ec;
  for (fs::directory_iterator it(from, ec), end; !ec && it != end; it.increment(ec)) items.push_back(it->path());
  if (ec) {
    *failure = {to.string(), qelplat::Win32FromErrno(ec.value())};
    return false;
  }
  for (const fs::path& item : items) {
    fs::path target = to / item.filename();
    bool placed = IsRealFolder(item) && IsRealFolder(target) ? MoveTree(item, target, journal, failure)
                                                             : journal->Place(item, target, failure);
    if (!placed) return false;
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
    // Between its making and its hold another process may take it for a dead one and remove it. Where the
    // file system keeps no holds, no other process can take it for dead either.
    qelplat::EFolderHold held = m_hold.TryHold(stage.string());
    if (held == qelplat::HOLD_BUSY || held == qelplat::HOLD_FAILED ||
        (held == qelplat::HOLD_TAKEN && !m_hold.HeldAt(stage.string()))) {
      m_hold.Release();
      continue;
    }
    m_stage = stage.string();
    return;
  }
}

CUnpackStage::~CUnpackStage() {
  if (m_stage.empty() || !m_unrestored.empty()) return;
  boost::system::error_code ec;
  fs::remove_all(m_stage, ec);
}

bool CUnpackStage::Fits() const { return !m_stage.empty() && Fit(m_stage, m_workFolder, true); }

bool CUnpackStage::MoveIntoPlace(const std::string& oldInstaller) {
  m_failure = TMoveFailure();
  m_unrestored.clear();
  if (m_stage.empty()) return false;
  const fs::path stage(m_stage);
  const fs::path work(m_workFolder);
  CMoveJournal journal(stage / kAsideName);
  // Looked at before the move, which swaps what the work folder had of that name into the staging folder.
  bool brought = oldInstaller.empty() || Exists(stage / oldInstaller);
  bool placed = MoveTree(stage, work, &journal, &m_failure);
  // What goes waits in the staging folder, and goes with it.
  if (placed && !brought && Exists(work / oldInstaller))
    placed = journal.Move(work / oldInstaller, stage / oldInstaller, work / oldInstaller, &m_failure);
  if (placed) return true;
  m_unrestored = journal.Undo();
  return false;
}
