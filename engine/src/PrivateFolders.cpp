#include "PrivateFolders.h"

#include <vector>

#include "EngineLog.h"
#include "Tavrin.h"

std::string CBaseFolder::Choose() {
  qelplat::TTempFolderChoice choice = qelplat::ChooseTempFolder();
  std::vector<std::string> lines;
  for (const qelplat::TFolderRefusal& refused : choice.refused)
    lines.push_back("临时目录不可用：" + refused.folder + "，原因：" + qelplat::DescribeFolderTrust(refused.why, qelplat::TRUST_IN_CHINESE));
  if (!lines.empty()) {
    lines.push_back(choice.folder.empty() ? std::string("没有可用的工作目录，本轮不处理任何产品，下轮重试")
                                          : "改用私有目录：" + choice.folder);
  }
  std::string report;
  for (const std::string& line : lines) report += line + "\n";
  std::lock_guard<std::mutex> hold(m_lock);
  if (report != m_lastReport) {
    for (const std::string& line : lines) QEL_ENGINE_LOG(ERROR, line, CTavrin::kLogFile, "CTavrin::DoSome");
  }
  m_lastReport = report;
  return choice.folder;
}
