#pragma once
// The engine's service object: the service loop over the registry's products, one product object per
// product code, and what the exports ask of them.
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "PrivateFolders.h"
#include "QelUpdate/QelUpdate.h"

class CProductInfo;

class CTavrin {
 public:
  static const char kLogFile[];

  CTavrin();
  virtual ~CTavrin();
  CTavrin(const CTavrin&) = delete;
  CTavrin& operator=(const CTavrin&) = delete;

  bool Prepare();
  bool StartService(UpdateMessageCallback cb);
  bool StopService();
  bool Shutdown();
  bool StartUpdate(TProductInfo* rec);
  int GetProductInfoEx(const char* code, TProductInfo* out);
  int SetProductInfoEx(TProductInfo* rec);
  int CheckUpdate();
  void DoSome(UpdateMessageCallback cb);

  // For tests: how many product objects exist.
  size_t ProductCount();

 private:
  void ServicePass(UpdateMessageCallback cb);
  void RefreshProduct(const TProductInfo& rec, UpdateMessageCallback cb, const std::string& base);
  CProductInfo* FindProduct(const std::string& code);

  std::shared_ptr<std::thread> m_serviceThread;
  // Product objects are never removed: their check threads run until the process ends.
  std::map<std::string, std::unique_ptr<CProductInfo>> m_products;
  std::mutex m_callbackLock;
  // Guards the map only; never held while a product is called, since product calls wait on work locks.
  std::mutex m_mapLock;
  CBaseFolder m_baseFolder;
};

// Deletes every file of dir (which ends with "/") matching pattern; -1.
int DeleteFilesMatching(const char* dir, const char* pattern);
