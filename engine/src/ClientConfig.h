#pragma once
// The engine's configuration, read from the registry (never written): the update server's check URL, the
// service interval and the list of products, one product sub-key each. Loads and every read of the list
// are serialised by one lock, so a reload never frees records another thread is reading.
// The log says which registry file was read (or that there is none, or that it cannot be read), what of it
// was skipped, which values could not be used and when a root holds no product: once for each version of
// a root's file, since every reload of an unchanged file would say the same.
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "QelUpdate/Records.h"
#include "qelplat/registry.h"

class CClientConfig {
 public:
  CClientConfig();
  virtual ~CClientConfig();
  CClientConfig(const CClientConfig&) = delete;
  CClientConfig& operator=(const CClientConfig&) = delete;

  // Reads root's "SOFTWARE\Tavrin" and its product list; out (when given) gets the records in list order,
  // each keeping its next pointer. Returns the number of product sub-keys; 0 with nothing changed when the
  // main key does not open.
  int LoadConfig(TProductInfo* out, HKEY root);
  // The current user's products, else the local machine's; returns the count as LoadConfig does. copy
  // (when given) gets the list as loaded, relinked within the copy, to walk without the lock.
  int Reload(TProductInfo* out, std::vector<TProductInfo>* copy);
  // The first record of the list whose code is code, copied to out (when given); false when none.
  bool FindProduct(const char* code, TProductInfo* out);
  bool HeadProduct(TProductInfo* out);
  bool ListEmpty();

  std::string Server();
  std::string ModuleDirectory() const { return m_moduleDirectory; }
  int CheckTimespan();

  int EnumProductList(HKEY root, const std::string& path, TProductInfo** head);
  // A new record from one product sub-key, or null when it does not open.
  std::unique_ptr<TProductInfo> ReadProductInfo(const std::string& subkey, HKEY root);

  // Links a copy of the records so that next stays inside the copy.
  static void Relink(std::vector<TProductInfo>& records);

 private:
  void ReleaseList();
  // True when the root's file is a version not yet reported: then its status and parse warnings are
  // logged, and the load that follows reports what it finds.
  bool BeginReport(HKEY root);

  std::mutex m_lock;
  uint64_t m_reported[2] = {0, 0};  // the last version of each root's file reported: user, machine
  LONG m_reportedStatus = ERROR_SUCCESS;
  bool m_reporting = false;  // the load in progress reports what it finds
  std::string m_server;
  std::string m_moduleDirectory;  // ends with "/", or empty
  TProductInfo* m_head = nullptr;
  int m_checkTimespan = 60;
  std::vector<std::unique_ptr<TProductInfo>> m_records;  // owns the list m_head links
};

// Integer registry text: optional sign and decimal digits within int range, nothing else.
bool ParseRegistryInt(const std::string& text, int* value);

// A product code names the product's work folder below the temporary folder, so it must be one plain folder
// name: not empty (nor only blanks), not "." or "..", without "/", "\" or control bytes, and without the
// characters Windows forbids in file names (< > : " | ? *): a quote in the folder would break the quoted
// installer path of the client's own batch file.
bool IsPlainFolderName(const std::string& code);
// The code with control bytes written as \xNN, fit for one log line.
std::string PrintableCode(const std::string& code);
