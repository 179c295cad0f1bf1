#pragma once
// What the client shows for an update the engine reports: the texts taken from the product record and its
// update block, and the prompt run on the calling thread.
#include <string>
#include <vector>

#include "QelTools/Log.h"
#include "ReleaseNotes.h"

namespace tavrin {

struct TUpdatePrompt {
  std::wstring productName;
  std::wstring oldVersion;
  std::wstring newVersion;
  std::wstring updateTime;
  std::vector<std::wstring> lines;
  int mode = 1;  // 0 forced, 1 optional
};

// Every text is read within its field's size, so a record without a terminating NUL is never over-read,
// and nothing in the records is written.
template <class Product, class Update>
TUpdatePrompt PromptFromRecords(const Product& product, const Update& update) {
  TUpdatePrompt prompt;
  prompt.lines = SplitReleaseNotes(update.update_description, sizeof update.update_description);
  prompt.productName = FieldText(product.name, sizeof product.name);
  prompt.oldVersion = FieldText(product.current_version, sizeof product.current_version);
  prompt.newVersion = FieldText(update.new_version, sizeof update.new_version);
  prompt.updateTime = FieldText(update.update_time, sizeof update.update_time);
  prompt.mode = update.update_type == 1 ? 0 : 1;
  return prompt;
}

// Shows the prompt modally on the calling thread; 1 when the user chose to install. Without a display it
// returns 0 at once, and the log says so, once for each update until a display is there again.
unsigned ShowUpdatePrompt(const TUpdatePrompt& prompt);

// The client's own log lines (a prompt that could not be shown) go here: the process's log, built on first
// use.
QEL::CLog& ClientLog();

}  // namespace tavrin
