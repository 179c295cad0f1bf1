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

const char* RootName(HKEY root) {
  return root == HKEY_CURRENT_USER ? "HKEY_CURRENT_USER" : root == HKEY_LOCAL_MACHINE ? "HKEY_LOCAL_MACHINE" : "?";
}

std::string TypeName(DWORD type) {
  switch (type) {
    case REG_NONE: return "REG_NONE";
    case REG_BINARY: return "REG_BINARY";
    case REG_DWORD: return "REG_DWORD";
    case REG_MULTI_SZ: return "REG_MULTI_SZ";
    case REG_QWORD: return "REG_QWORD";
    default: return FormatText("%u", static_cast<unsigned>(type));
  }
}

// The values of one open key, each read as text through a 500-byte buffer. A value that is there but
// cannot be used keeps its default; with reporting on, the log says which and why.
class CValueReader {
 public:
  // func: the reader's caller, named in the log lines; report: whether to say what cannot be used.
  CValueReader(HKEY key, HKEY root, const std::string& path, const char* func, bool report)
      : m_key(key), m_root(root), m_path(path), m_func(func), m_report(report) {}

  // False when absent or unusable: of a type other than text (a number stored as a registry number is
  // binary, not the decimal text the engine reads), or too long for the buffer with a terminating NUL.
  bool Text(const char* name, std::string* out) {
    char buffer[kValueBufferSize];
    DWORD size = kValueBufferSize;
    DWORD type = REG_NONE;
    LONG rc = RegQueryValueExA(m_key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size);
    if (rc == ERROR_MORE_DATA) return TooLong(name, size);
    if (rc != ERROR_SUCCESS) return false;
    if (type != REG_SZ && type != REG_EXPAND_SZ)
      return Unusable(name, "注册表值不是文本类型，已使用默认值", "类型：" + TypeName(type));
    const void* nul = memchr(buffer, '\0', size);
    if (nul) {
      out->assign(buffer, static_cast<const char*>(nul) - buffer);
      return true;
    }
    if (size >= kValueBufferSize) return TooLong(name, size);
    out->assign(buffer, size);
    return true;
  }

  // A text longer than its field is not cut (a cut code or path names something else): it keeps the default.
  void Field(const char* name, char* field, size_t fieldSize) {
    std::string text;
    if (!Text(name, &text)) return;
    if (text.size() >= fieldSize) {
      Unusable(name, "注册表值过长，已使用默认值", FormatText("长度：%zu字节，最多%zu字节", text.size(), fieldSize - 1));
      return;
    }
    memcpy(field, text.c_str(), text.size() + 1);
  }

  // A value that is not decimal text leaves *value as it was (the default) rather than failing the whole
  // load.
  bool Int(const char* name, int32_t* value) {
    std::string text;
    if (!Text(name, &text)) return false;
    if (ParseRegistryInt(text, value)) return true;
    return Unusable(name, "注册表值不是十进制数字，已使用默认值", "内容：" + PrintableCode(text));
  }

 private:
  bool TooLong(const char* name, DWORD size) {
    return Unusable(name, "注册表值过长，已使用默认值", FormatText("长度：%u字节", static_cast<unsigned>(size)));
  }

  bool Unusable(const char* name, const char* what, const std::string& detail) {
    if (!m_report) return false;
    std::string text = std::string(what) + "：键：" + RootName(m_root) + "\\" + m_path + "，值：" + name + "，" + detail;
    QEL_ENGINE_LOG(WARN, text, kLogFile, m_func);
    return false;
  }

  HKEY m_key;
  HKEY m_root;
  std::string m_path;
  const char* m_func;
  bool m_report;
};

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
    if (strchr("<>:\"|?*", c)) return false;
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

bool CClientConfig::BeginReport(HKEY root) {
  qelplat::TRegFileNotes notes = qelplat::RegistryFileNotes(root);
  uint64_t& reported = m_reported[root == HKEY_LOCAL_MACHINE ? 1 : 0];
  if (notes.version == reported) return false;
  reported = notes.version;
  m_reportedStatus = notes.status;
  const char* func = "CClientConfig::LoadConfig";
  std::string where = notes.file + "（" + RootName(root) + "）";
  if (notes.status == ERROR_FILE_NOT_FOUND) {
    QEL_ENGINE_LOG(INFO, "注册表文件不存在：" + where, kLogFile, func);
    return true;
  }
  if (notes.status != ERROR_SUCCESS) {
    std::string text = "注册表文件无法读取：" + where + FormatText("，错误代码:%d", static_cast<int>(notes.status));
    QEL_ENGINE_LOG(WARN, text, kLogFile, func);
    return true;
  }
  QEL_ENGINE_LOG(INFO, "读取注册表文件：" + where, kLogFile, func);
  for (const std::string& warning : notes.warnings)
    QEL_ENGINE_LOG(WARN, "注册表文件格式错误：" + warning, kLogFile, func);
  return true;
}

int CClientConfig::LoadConfig(TProductInfo* out, HKEY root) {
  std::lock_guard<std::mutex> hold(m_lock);
  const char* func = "CClientConfig::LoadConfig";
  {
    CRegKey main;
    // Read access only: the engine never writes its configuration, and asking for more would hide a
    // configuration the user may read but not change (the machine's, for an ordinary user).
    bool opened = main.Open(root, kMainKey, KEY_READ);
    // Said once for each version of the root's file, not at every reload: the same file says the same.
    m_reporting = BeginReport(root);
    if (!opened) {
      if (m_reporting && m_reportedStatus == ERROR_SUCCESS)
        QEL_ENGINE_LOG(INFO, std::string("注册表") + RootName(root) + "中没有" + kMainKey + "键，没有产品", kLogFile, func);
      m_reporting = false;
      return 0;
    }
    CValueReader values(main.get(), root, kMainKey, func, m_reporting);
    std::string server;
    if (values.Text("server", &server)) m_server = server;
    int32_t minutes = 60;
    values.Int("check_timespan", &minutes);
    m_checkTimespan = minutes;
  }
  ReleaseList();
  std::string list = std::string(kMainKey) + "\\" + "ProductList";
  int count = EnumProductList(root, list, &m_head);
  if (m_reporting && count == 0)
    QEL_ENGINE_LOG(INFO, std::string("注册表") + RootName(root) + "\\" + list + "下没有产品", kLogFile, func);
  m_reporting = false;
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
  CValueReader values(key.get(), root, subkey, "CClientConfig::ReadProductInfo", m_reporting);
  values.Field("code", rec->code, sizeof rec->code);
  values.Field("name", rec->name, sizeof rec->name);
  values.Field("old_version", rec->old_version, sizeof rec->old_version);
  values.Field("current_version", rec->current_version, sizeof rec->current_version);
  values.Field("execute_file", rec->execute_file, sizeof rec->execute_file);
  values.Int("check_update_type", &rec->check_update_type);
  values.Int("notify_type", &rec->notify_type);
  values.Int("check_timespan", &rec->check_timespan);
  values.Int("check_retry_count", &rec->check_retry_count);
  values.Int("check_retry_timespan", &rec->check_retry_timespan);
  values.Int("download_retry_count", &rec->download_retry_count);
  values.Int("download_retry_timespan", &rec->download_retry_timespan);
  values.Int("download_failed_count", &rec->download_failed_count);
  values.Int("download_failed_max_count", &rec->download_failed_max_count);
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
