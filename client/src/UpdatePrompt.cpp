#include "UpdatePrompt.h"

#include <mutex>
#include <set>

#include "MessageDialog.h"
#include "qelplat/codepage.h"
#include "qelui/user32.h"

namespace tavrin {
namespace {

// The updates that could not be shown since a display was last there. Each is said once: the product's
// next checks offer it again, and the log would fill with the same line.
class CUnshownUpdates {
 public:
  // True the first time the update is noted.
  bool Note(const std::wstring& update) {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_updates.insert(update).second;
  }
  void Forget() {
    std::lock_guard<std::mutex> hold(m_lock);
    m_updates.clear();
  }

 private:
  std::mutex m_lock;
  std::set<std::wstring> m_updates;
};

CUnshownUpdates& Unshown() {
  static CUnshownUpdates* unshown = new CUnshownUpdates;  // never destroyed: prompts run on engine threads
  return *unshown;
}

void NoteNoDisplay(const TUpdatePrompt& prompt) {
  if (!Unshown().Note(prompt.productName + L"\n" + prompt.oldVersion + L"\n" + prompt.newVersion)) return;
  std::string text = "没有可用的显示，无法显示升级提示：产品名称：" + qelplat::WideToUtf8(prompt.productName) +
                     "，版本：" + qelplat::WideToUtf8(prompt.oldVersion) + "->" +
                     qelplat::WideToUtf8(prompt.newVersion);
  ClientLog().Log(QEL::WARN, "%s", text.c_str());
}

}  // namespace

QEL::CLog& ClientLog() {
  static QEL::CLog* log = new QEL::CLog;  // never destroyed, like the engine's: engine threads may still log
  return *log;
}

unsigned ShowUpdatePrompt(const TUpdatePrompt& prompt) {
  CMessageDialog dialog;
  for (const std::wstring& line : prompt.lines) dialog.AddContentLine(line.c_str());
  dialog.SetProductName(prompt.productName.c_str());
  dialog.SetOldVersion(prompt.oldVersion.c_str());
  dialog.SetNewVersion(prompt.newVersion.c_str());
  dialog.SetUpdateTime(prompt.updateTime.c_str());
  unsigned result = dialog.ShowDialog(prompt.mode, L"版本升级提示");
  // Without a display the prompt returns 0 at once and nobody has seen it.
  if (result == 0 && !qelui::DisplayAvailable()) {
    NoteNoDisplay(prompt);
  } else {
    Unshown().Forget();
  }
  return result;
}

}  // namespace tavrin
