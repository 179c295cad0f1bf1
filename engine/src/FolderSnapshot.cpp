#include "FolderSnapshot.h"

#include <boost/filesystem/directory.hpp>
#include <boost/filesystem/operations.hpp>

#include <vector>

namespace fs = boost::filesystem;

CFolderSnapshot::CFolderSnapshot(const std::string& folder) : m_folder(folder) {
  boost::system::error_code ec;
  fs::recursive_directory_iterator it(m_folder, ec);
  for (fs::recursive_directory_iterator end; !ec && it != end; it.increment(ec)) m_paths.insert(it->path().string());
  m_whole = !ec;
}

void CFolderSnapshot::RemoveAdded() const {
  if (!m_whole) return;
  std::vector<fs::path> added;
  boost::system::error_code ec;
  fs::recursive_directory_iterator it(m_folder, ec);
  for (fs::recursive_directory_iterator end; !ec && it != end; it.increment(ec)) {
    if (m_paths.count(it->path().string())) continue;
    added.push_back(it->path());
    // A folder that is new holds nothing that was there before: it goes whole.
    it.disable_recursion_pending();
  }
  for (const fs::path& path : added) fs::remove_all(path, ec);
}
