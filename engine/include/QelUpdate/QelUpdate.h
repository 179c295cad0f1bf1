#pragma once
// The update engine's interface for host programs: six plain exports and the message callback.
#include "QelUpdate/Records.h"
#include "qelplat/export.h"

// What a message to the host carries (payload valid only during the call):
enum EMsgType {
  EMSG_FATAL = 0,         // text: the engine cannot work (the host is expected to stop it and end)
  EMSG_STATUS = 1,        // text: a status line
  EMSG_PRODUCT_LIST = 2,  // TProductInfo*: the product list just read, linked by next
  EMSG_UPDATE_READY = 3,  // TProductInfo*: the product's record; update_info holds what was found
  EMSG_PROGRESS = 4,      // the downloader's progress record
};

typedef void (*UpdateMessageCallback)(EMsgType type, void* payload);

// Starts the service loop (a second call starts a second loop); cb may be null.
QEL_C_EXPORT bool StartUpdateService(UpdateMessageCallback cb);
// Stops the watchdog object and removes stale resume files; engine threads end with the process.
QEL_C_EXPORT void StopUpdateService();
// Installs what a check reported for the record's product (the EMSG_UPDATE_READY payload).
QEL_C_EXPORT bool StartUpdate(TProductInfo* rec);
// code null: copies the whole product list into out (which must hold the count; null asks for the count
// only). code given: copies the first record of that code into out (when not null). Returns the count.
QEL_C_EXPORT int GetProductInfoEx(const char* code, TProductInfo* out);
// Refreshes the known product of the record's code; always -1.
QEL_C_EXPORT int SetProductInfoEx(TProductInfo* rec);
// flag 0: -1. Otherwise checks the product listed first, on the caller's thread; 0.
QEL_C_EXPORT int CheckUpdate(int flag);
