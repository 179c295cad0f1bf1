#include "PrivateFolders.h"

#include <vector>

#include "EngineLog.h"
#include "Tavrin.h"

std::string FolderProblem(const qelplat::TFolderTrust& folder) {
  switch (folder.trust) {
    case qelplat::FOLDER_PRIVATE:
      return std::string();
    case qelplat::FOLDER_MISSING:
      return "目录不存在或无法读取";
    case qelplat::FOLDER_NOT_A_FOLDER:
      if (!folder.at.empty()) return "上级目录" + folder.at + "不是真实的目录";
      return "不是真实的目录（符号链接或其他文件）";
    case qelplat::FOLDER_FOREIGN:
      return FormatText("目录属于其他用户（用户号%u）", folder.owner);
    case qelplat::FOLDER_SHARED:
      return FormatText("组或其他用户可写（权限%04o）", folder.mode);
    case qelplat::FOLDER_OPEN_ABOVE:
      return "上级目录" + folder.at + FormatText("可被其他用户改名或替换（用户号%u，权限%04o）", folder.owner, folder.mode);
    case qelplat::FOLDER_READ_ONLY:
      return "目录不可写";
    case qelplat::FOLDER_NOT_MADE:
      return FormatText("无法创建，错误代码：%u", static_cast<unsigned>(folder.error));
  }
  return "未知原因";
}

std::string CBaseFolder::Choose() {
  qelplat::TTempFolderChoice choice = qelplat::ChooseTempFolder();
  std::vector<std::string> lines;
  for (const qelplat::TFolderRefusal& refused : choice.refused)
    lines.push_back("临时目录不可用：" + refused.folder + "，原因：" + FolderProblem(refused.why));
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
