#include "ClientConfig.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "EngineLog.h"
#include "qelplat/paths.h"

namespace {

const char kLogFile[] = "ClientConfig.cpp";
const char kMainKey[] = "SOFTWARE\\Tavrin";
const DWORD kValueBufferSize = 500;

// Closes a registry key when the scope ends.
class CRegKey {
 public:
  CRegKey() = default;
  ~CRegKey() {
    if (m_key) RegCloseKey(m_key);
  }
  CRegKey(const CRegKey&) = delete;
  CRegKey& operator=(const CRegKey&) = delete;
  bool Open(HKEY root, const std::string& path, REGSAM rights) {
    return RegOpenKeyExA(root, path.c_str(), 0, rights, &m_key) == ERROR_SUCCESS;
  }
  HKEY get() const { return m_key; }

 private:
  HKEY m_key = nullptr;
};

// A value as text, whatever its type, through a 500-byte buffer. False when absent, or when it does not fit
// the buffer with a terminating NUL.
bool QueryText(HKEY key, const char* name, std::string* out) {
  char buffer[kValueBufferSize];
  DWORD size = kValueBufferSize;
  if (RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size) != ERROR_SUCCESS)
    return false;
  const void* nul = memchr(buffer, '\0', size);
  if (nul) {
    out->assign(buffer, static_cast<const char*>(nul) - buffer);
    return true;
  }
  if (size >= kValueBufferSize) return false;
  out->assign(buffer, size);
  return true;
}

// A text longer than its field is not cut (a cut code or path names something else): it keeps the default.
void QueryField(HKEY key, const char* name, char* field, size_t fieldSize) {
  std::string text;
  if (!QueryText(key, name, &text) || text.size() >= fieldSize) return;
  memcpy(field, text.c_str(), text.size() + 1);
}

// A value that is not decimal text keeps the default rather than failing the whole load.
void QueryInt(HKEY key, const char* name, int32_t* field) {
  std::string text;
  int value = 0;
  if (QueryText(key, name, &text) && ParseRegistryInt(text, &value)) *field = value;
}

std::string ProgramDirectory() {
  char path[kValueBufferSize];
  DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
  // A cut path would name another folder.
  if (n == 0 || n >= sizeof path) return std::string();
  std::string text(path, n);
  size_t slash = text.find_last_of('/');
  return slash == std::string::npos ? std::string() : text.substr(0, slash + 1);
}

void DefaultRecord(TProductInfo* rec) {
  memset(rec, 0, sizeof *rec);
  rec->check_update_type = 2;
  rec->notify_type = 0;
  rec->check_timespan = 60;
  rec->check_retry_count = 3;
  rec->check_retry_timespan = 3;
  rec->download_failed_count = 0;
  rec->download_failed_max_count = 5;
  rec->download_retry_count = 3;
  rec->download_retry_timespan = 3;
}

}  // namespace

bool ParseRegistryInt(const std::string& text, int* value) {
  size_t i = 0;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  if (i == text.size() || text.find_first_not_of("0123456789", i) != std::string::npos) return false;
  errno = 0;
  long long v = strtoll(text.c_str(), nullptr, 10);
  if (errno == ERANGE || v < INT32_MIN || v > INT32_MAX) return false;
  *value = static_cast<int>(v);
  return true;
}

bool IsPlainFolderName(const std::string& code) {
  size_t first = code.find_first_not_of(" \t");
  if (first == std::string::npos) return false;
  std::string trimmed = code.substr(first, code.find_last_not_of(" \t") - first + 1);
  if (trimmed == "." || trimmed == "..") return false;
  for (char c : code) {
    unsigned char u = static_cast<unsigned char>(c);
    if (c == '/' || c == '\\' || u < 0x20 || u == 0x7F) return false;
  }
  return true;
}

std::string PrintableCode(const std::string& code) {
  std::string text;
  for (char c : code) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) {
      text += FormatText("\\x%02X", u);
    } else {
      text += c;
    }
  }
  return text;
}

CClientConfig::CClientConfig() : m_moduleDirectory(ProgramDirectory()) {}

CClientConfig::~CClientConfig() { ReleaseList(); }

void CClientConfig::ReleaseList() {
  m_head = nullptr;
  m_records.clear();
}

int CClientConfig::LoadConfig(TProductInfo* out, HKEY root) {
  std::lock_guard<std::mutex> hold(m_lock);
  {
    CRegKey main;
    // Read access only: the engine never writes its configuration, and asking for more would hide a
    // configuration the user may read but not change (the machine's, for an ordinary user).
    if (!main.Open(root, kMainKey, KEY_READ)) return 0;
    std::string server;
    if (QueryText(main.get(), "server", &server)) m_server = server;
    std::string timespan;
    int minutes = 60;
    if (QueryText(main.get(), "check_timespan", &timespan) && !ParseRegistryInt(timespan, &minutes)) minutes = 60;
    m_checkTimespan = minutes;
  }
  ReleaseList();
  int count = EnumProductList(root, std::string(kMainKey) + "\\" + "ProductList", &m_head);
  if (out) {
    size_t slot = 0;
    for (TProductInfo* rec = m_head; rec; rec = rec->next) out[slot++] = *rec;
  }
  return count;
}

int CClientConfig::EnumProductList(HKEY root, const std::string& path, TProductInfo** head) {
  CRegKey list;
  if (!list.Open(root, path, KEY_READ)) return 0;
  int count = 0;
  for (DWORD index = 0;; ++index) {
    char name[kValueBufferSize];
    DWORD size = kValueBufferSize;
    LONG rc = RegEnumKeyExA(list.get(), index, name, &size, nullptr, nullptr, nullptr, nullptr);
    if (rc == ERROR_MORE_DATA) {
      // A name too long for the buffer hides only its own product, never the ones listed after it.
      ++count;
      std::string text = FormatText("产品列表第%u个子键名称过长，已跳过", static_cast<unsigned>(index + 1));
      QEL_ENGINE_LOG(ERROR, text, kLogFile, "CClientConfig::EnumProductList");
      continue;
    }
    if (rc != ERROR_SUCCESS) break;
    ++count;
    std::unique_ptr<TProductInfo> rec = ReadProductInfo(path + "\\" + name, root);
    if (!rec) continue;
    rec->next = *head;
    *head = rec.get();
    m_records.push_back(std::move(rec));
  }
  return count;
}

std::unique_ptr<TProductInfo> CClientConfig::ReadProductInfo(const std::string& subkey, HKEY root) {
  CRegKey key;
  if (!key.Open(root, subkey, KEY_READ)) return nullptr;
  std::unique_ptr<TProductInfo> rec(new TProductInfo);
  DefaultRecord(rec.get());
  HKEY k = key.get();
  QueryField(k, "code", rec->code, sizeof rec->code);
  QueryField(k, "name", rec->name, sizeof rec->name);
  QueryField(k, "old_version", rec->old_version, sizeof rec->old_version);
  QueryField(k, "current_version", rec->current_version, sizeof rec->current_version);
  QueryField(k, "execute_file", rec->execute_file, sizeof rec->execute_file);
  QueryInt(k, "check_update_type", &rec->check_update_type);
  QueryInt(k, "notify_type", &rec->notify_type);
  QueryInt(k, "check_timespan", &rec->check_timespan);
  QueryInt(k, "check_retry_count", &rec->check_retry_count);
  QueryInt(k, "check_retry_timespan", &rec->check_retry_timespan);
  QueryInt(k, "download_retry_count", &rec->download_retry_count);
  QueryInt(k, "download_retry_timespan", &rec->download_retry_timespan);
  QueryInt(k, "download_failed_count", &rec->download_failed_count);
  QueryInt(k, "download_failed_max_count", &rec->download_failed_max_count);
  return rec;
}

int CClientConfig::Reload(TProductInfo* out, std::vector<TProductInfo>* copy) {
  int count = LoadConfig(out, HKEY_CURRENT_USER);
  if (count == 0) count = LoadConfig(out, HKEY_LOCAL_MACHINE);
  if (copy) {
    std::lock_guard<std::mutex> hold(m_lock);
    copy->clear();
    for (TProductInfo* rec = m_head; rec; rec = rec->next) copy->push_back(*rec);
    Relink(*copy);
  }
  return count;
}

void CClientConfig::Relink(std::vector<TProductInfo>& records) {
  for (size_t i = 0; i < records.size(); ++i) records[i].next = i + 1 < records.size() ? &records[i + 1] : nullptr;
}

bool CClientConfig::FindProduct(const char* code, TProductInfo* out) {
  std::lock_guard<std::mutex> hold(m_lock);
  for (TProductInfo* rec = m_head; rec; rec = rec->next) {
    if (strncmp(rec->code, code, sizeof rec->code) != 0) continue;
    if (out) *out = *rec;
    return true;
  }
  return false;
}

bool CClientConfig::HeadProduct(TProductInfo* out) {
  std::lock_guard<std::mutex> hold(m_lock);
  if (!m_head) return false;
  *out = *m_head;
  return true;
}

bool CClientConfig::ListEmpty() {
  std::lock_guard<std::mutex> hold(m_lock);
  return m_head == nullptr;
}

std::string CClientConfig::Server() {
  std::lock_guard<std::mutex> hold(m_lock);
  return m_server;
}

int CClientConfig::CheckTimespan() {
  std::lock_guard<std::mutex> hold(m_lock);
  return m_checkTimespan;
}
