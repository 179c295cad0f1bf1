#pragma once
// A package is unpacked into a folder of its own inside the work folder and moved into place only when every
// item of it came out whole, and the move itself is taken back when it fails part-way: a package that fails
// anywhere leaves the work folder exactly as it was, the items it would have replaced keeping their bytes and
// the items it added gone with the staging folder.
#include <string>
#include <vector>

#include "qelplat/folderhold.h"
#include "qelplat/wintypes.h"

// One item of the work folder that a move could not place, or could not take back.
struct TMoveFailure {
  std::string path;  // in the work folder
  DWORD error = 0;
};

class CUnpackStage {
 public:
  // Makes the staging folder (closed to others, and held as in use while this object lives) inside the work
  // folder, after removing those that no living process holds: what a process ended in the middle of an
  // install left behind. Another process's staging folder in use is left alone.
  explicit CUnpackStage(const std::string& workFolder);
  // Removes the staging folder with whatever is still in it (links in it are removed, never followed), unless
  // a move could not be taken back whole: what it holds is then the old content of those items.
  ~CUnpackStage();
  CUnpackStage(const CUnpackStage&) = delete;
  CUnpackStage& operator=(const CUnpackStage&) = delete;

  // Where to unpack; empty when the staging folder could not be made.
  const std::string& Folder() const { return m_stage; }
  // Whether everything unpacked can take its place: no file where the work folder has a folder, no folder
  // where it has anything else.
  bool Fits() const;
  // Moves everything unpacked into the work folder: items replace files (or links) of the same name, folders
  // merge with folders; then the old installer (a name in the work folder, may be empty) goes when the
  // package brought none of that name, so that it is never started for the package's own. Call after Fits.
  // On the first move that fails, every move made is taken back in reverse order and false is returned: the
  // work folder then holds what it held before, unless Unrestored names what could not come back.
  bool MoveIntoPlace(const std::string& oldInstaller);
  // The move that failed in the last MoveIntoPlace.
  const TMoveFailure& Failure() const { return m_failure; }
  // The items a failed MoveIntoPlace could not take back; their old content is in the staging folder, which
  // then stays until a later unpack clears it away.
  const std::vector<TMoveFailure>& Unrestored() const { return m_unrestored; }

 private:
  std::string m_workFolder;
  std::string m_stage;
  qelplat::CFolderHold m_hold;
  TMoveFailure m_failure;
  std::vector<TMoveFailure> m_unrestored;
};
