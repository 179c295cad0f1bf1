#pragma once
// What a folder holds at one moment, so that what is added after it can be taken away again: a failed
// unpack leaves nothing of its package behind, while what was there before stays.
#include <set>
#include <string>

class CFolderSnapshot {
 public:
  explicit CFolderSnapshot(const std::string& folder);

  // Removes every file, link and folder below the folder that was not there when the snapshot was taken.
  // Links are removed, never followed. Nothing is removed when the snapshot could not be taken whole.
  void RemoveAdded() const;

 private:
  std::string m_folder;
  std::set<std::string> m_paths;
  bool m_whole = false;
};
