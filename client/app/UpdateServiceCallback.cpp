#include "UpdateServiceCallback.h"

#include "UpdatePrompt.h"
#include "qelplat/exitprocess.h"

namespace {

void OnUpdateReady(TProductInfo* product) {
  if (!product || !product->update_info) return;
  // Each call reads its own copy of the texts: prompts for two products may run at once.
  tavrin::TUpdatePrompt prompt = tavrin::PromptFromRecords(*product, *product->update_info);
  // Installing is the engine's job; it still holds the record unchanged while this receiver runs.
  if (tavrin::ShowUpdatePrompt(prompt) == 1) StartUpdate(product);
}

}  // namespace

void UpdateServiceCallback(EMsgType type, void* payload) {
  switch (type) {
    case EMSG_FATAL:
      StopUpdateService();
      // Ends at once, without running static destructors under the engine's other threads.
      ExitProcess(0);
      break;
    case EMSG_UPDATE_READY:
      OnUpdateReady(static_cast<TProductInfo*>(payload));
      break;
    default:
      break;
  }
}
