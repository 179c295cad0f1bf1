#pragma once
// The folders the engine fetches packages into and starts installers from, which no other user may change:
// the base folder of the products' work folders.
#include <mutex>
#include <string>

#include "qelplat/privatefolder.h"

// The base folder of the products' work folders: the platform's temporary folder, or the private folder in
// the user's home when that cannot be used; never the program's folder. Which folders were passed over, and
// why, is logged once per change, as is the want of any folder at all.
class CBaseFolder {
 public:
  // The folder with its trailing "/", empty when no folder can be used.
  std::string Choose();

 private:
  std::mutex m_lock;
  std::string m_lastReport;  // the lines logged for the last choice, empty when nothing was passed over
};
