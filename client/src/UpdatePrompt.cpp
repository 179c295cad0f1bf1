#include "UpdatePrompt.h"

#include "MessageDialog.h"

namespace tavrin {

unsigned ShowUpdatePrompt(const TUpdatePrompt& prompt) {
  CMessageDialog dialog;
  for (const std::wstring& line : prompt.lines) dialog.AddContentLine(line.c_str());
  dialog.SetProductName(prompt.productName.c_str());
  dialog.SetOldVersion(prompt.oldVersion.c_str());
  dialog.SetNewVersion(prompt.newVersion.c_str());
  dialog.SetUpdateTime(prompt.updateTime.c_str());
  return dialog.ShowDialog(prompt.mode, L"版本升级提示");
}

}  // namespace tavrin
