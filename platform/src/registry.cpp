#include "qelplat/registry.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "qelplat/lasterror.h"
#include "qelplat/netapi.h"
#include "registry_hive.h"

namespace {

using std::string_view;

const char kNetworkCardsPath[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\NetworkCards";
// A hive file larger than this is refused rather than read into memory.
const off_t kMaxHiveBytes = 64 << 20;

string_view TrimSeparators(string_view path) {
  size_t b = path.find_first_not_of('\\');
  if (b == string_view::npos) return string_view();
  size_t e = path.find_last_not_of('\\');
  return path.substr(b, e - b + 1);
}

std::string JoinPath(const std::string& base, string_view sub) {
  if (base.empty()) return std::string(sub);
  if (sub.empty()) return base;
  std::string path = base;
  path += '\\';
  path.append(sub.data(), sub.size());
  return path;
}

bool IsRoot(HKEY key) { return key == HKEY_CURRENT_USER || key == HKEY_LOCAL_MACHINE; }

std::shared_ptr<const qelplat::CRegHive> NetworkCardsHive() {
  qelplat::CRegHiveBuilder builder("network cards", HKEY_LOCAL_MACHINE);
  builder.AddKey(kNetworkCardsPath);
  int number = 0;
  for (const std::string& card : qelplat::NetworkCardNames()) {
    uint32_t key = builder.AddKey(std::string(kNetworkCardsPath) + "\\" + std::to_string(++number));
    std::string text = card + '\0';
    builder.AddValue(key, "ServiceName", REG_SZ, text);
    builder.AddValue(key, "Description", REG_SZ, text);
  }
  return builder.Finish();
}

bool UnderNetworkCards(string_view path) { return qelplat::RegPathAtOrBelow(path, kNetworkCardsPath); }

bool WantsWrite(REGSAM rights) { return (rights & (KEY_SET_VALUE | 0x0004 /* create sub-key */ | 0x00010000)) != 0; }

// ---------------------------------------------------------------------------------------------------------
// The kept version of each root's file

struct TFileStamp {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = -1;
  timespec modified{};
  timespec changed{};
};

TFileStamp StampOf(const struct stat& st) {
  TFileStamp stamp;
  stamp.device = st.st_dev;
  stamp.inode = st.st_ino;
  stamp.size = st.st_size;
  stamp.modified = st.st_mtim;
  stamp.changed = st.st_ctim;
  return stamp;
}

bool SameTime(const timespec& a, const timespec& b) { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; }

bool SameStamp(const TFileStamp& a, const TFileStamp& b) {
  return a.device == b.device && a.inode == b.inode && a.size == b.size && SameTime(a.modified, b.modified) &&
         SameTime(a.changed, b.changed);
}

int64_t Nanoseconds(const timespec& t) { return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec; }

// File times come from the kernel's coarse clock, which moves in ticks of a few milliseconds (whole seconds
// on some file systems), so two writes within one tick leave the same times and, when the size stays, the
// same stamp. A file whose last change lies less than a tick before we began to read it can therefore change
// unseen: its content is compared at every open until a read begins safely after that change. The change
// time is the one to judge by: no program can set it.
bool MayChangeUnseen(const TFileStamp& stamp, const timespec& readStarted) {
  int64_t tick = stamp.changed.tv_nsec == 0 ? 2000000000 : 50000000;
  return Nanoseconds(readStarted) - Nanoseconds(stamp.changed) < tick;
}

struct TFileRead {
  std::string bytes;
  TFileStamp stamp;
  timespec started{};
};

// The whole file through one descriptor, so that stamp and bytes belong together. Never blocks on a fifo
// or a device put in the file's place.
LONG ReadWholeFile(const std::string& file, TFileRead* out) {
  clock_gettime(CLOCK_REALTIME, &out->started);
  int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return errno == ENOENT || errno == ENOTDIR ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED;
  struct stat st;
  LONG rc = ERROR_SUCCESS;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    rc = ERROR_ACCESS_DENIED;
  } else if (st.st_size > kMaxHiveBytes) {
    rc = ERROR_NOT_ENOUGH_MEMORY;
  } else {
    out->stamp = StampOf(st);
    out->bytes.resize(static_cast<size_t>(st.st_size));
    size_t done = 0;
    while (done < out->bytes.size()) {
      ssize_t n = read(fd, &out->bytes[done], out->bytes.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        rc = ERROR_ACCESS_DENIED;
        break;
      }
      if (n == 0) break;  // cut short while we read: its new stamp brings it back at the next open
      done += static_cast<size_t>(n);
    }
    out->bytes.resize(done);
  }
  close(fd);
  return rc;
}

// Every change of what a root's file holds for us (a new parse, or the file gone or refused) gets a number of
// its own, so a reader of the notes can tell a version it has reported from one it has not.
uint64_t NextVersion() {
  static std::atomic<uint64_t> last{0};
  return ++last;
}

class CHiveCache {
 public:
  explicit CHiveCache(HKEY root) : m_root(root) {}

  LONG Get(const std::string& file, const TFileStamp& now, std::shared_ptr<const qelplat::CRegHive>* out) {
    std::lock_guard<std::mutex> hold(m_lock);
    bool same = m_hive && m_file == file && SameStamp(m_stamp, now);
    if (same && !m_mayChangeUnseen) {
      *out = m_hive;
      return ERROR_SUCCESS;
    }
    TFileRead read;
    LONG rc = ReadWholeFile(file, &read);
    if (rc != ERROR_SUCCESS) {
      FailLocked(file, rc);
      return rc;
    }
    if (same && SameStamp(m_stamp, read.stamp) && read.bytes == m_bytes) {
      Keep(read);
      *out = m_hive;
      return ERROR_SUCCESS;
    }
    std::vector<std::string> warnings;
    qelplat::CRegHiveBuilder builder(file, m_root, &warnings);
    builder.Parse(read.bytes);
    m_hive = builder.Finish();
    m_file = file;
    m_status = ERROR_SUCCESS;
    m_version = NextVersion();
    m_warnings.swap(warnings);
    Keep(read);
    *out = m_hive;
    return ERROR_SUCCESS;
  }

  // The file is missing or may not be read: nothing is kept, and the notes say why.
  void Fail(const std::string& file, LONG status) {
    std::lock_guard<std::mutex> hold(m_lock);
    FailLocked(file, status);
  }

  qelplat::TRegFileNotes Notes() {
    std::lock_guard<std::mutex> hold(m_lock);
    qelplat::TRegFileNotes notes;
    notes.file = m_file;
    notes.status = m_status;
    notes.version = m_version;
    notes.warnings = m_warnings;
    return notes;
  }

 private:
  void FailLocked(const std::string& file, LONG status) {
    bool changed = m_hive || m_file != file || m_status != status || m_version == 0;
    m_hive.reset();
    std::string().swap(m_bytes);
    m_warnings.clear();
    m_file = file;
    m_status = status;
    if (changed) m_version = NextVersion();
  }

  // The bytes are kept only while a change could hide behind an unchanged stamp.
  void Keep(TFileRead& read) {
    m_stamp = read.stamp;
    m_mayChangeUnseen = MayChangeUnseen(read.stamp, read.started);
    if (m_mayChangeUnseen) {
      m_bytes.swap(read.bytes);
    } else {
      std::string().swap(m_bytes);
    }
  }

  HKEY m_root;
  std::mutex m_lock;
  std::string m_file;
  TFileStamp m_stamp;
  bool m_mayChangeUnseen = false;
  std::string m_bytes;
  std::shared_ptr<const qelplat::CRegHive> m_hive;
  LONG m_status = ERROR_FILE_NOT_FOUND;
  uint64_t m_version = 0;
  std::vector<std::string> m_warnings;
};

CHiveCache& CacheOf(HKEY root) {
  // Never destroyed: a thread may still open a key while the process exits.
  static CHiveCache* user = new CHiveCache(HKEY_CURRENT_USER);
  static CHiveCache* machine = new CHiveCache(HKEY_LOCAL_MACHINE);
  return root == HKEY_CURRENT_USER ? *user : *machine;
}

LONG LoadHive(HKEY root, REGSAM rights, std::shared_ptr<const qelplat::CRegHive>* hive) {
  std::string file = qelplat::RegistryFileOf(root);
  if (file.empty()) return ERROR_INVALID_HANDLE;
  CHiveCache& cache = CacheOf(root);
  struct stat st;
  if (stat(file.c_str(), &st) != 0) {
    LONG rc = errno == ENOENT || errno == ENOTDIR ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED;
    cache.Fail(file, rc);
    return rc;
  }
  if (!S_ISREG(st.st_mode) || access(file.c_str(), R_OK) != 0) {
    cache.Fail(file, ERROR_ACCESS_DENIED);
    return ERROR_ACCESS_DENIED;
  }
  if (st.st_size > kMaxHiveBytes) {
    cache.Fail(file, ERROR_NOT_ENOUGH_MEMORY);
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  // Asking to write a file that may only be read says nothing about the file itself.
  if (WantsWrite(rights) && access(file.c_str(), W_OK) != 0) return ERROR_ACCESS_DENIED;
  return cache.Get(file, StampOf(st), hive);
}

// ---------------------------------------------------------------------------------------------------------
// Open keys

struct TOpenKey {
  HKEY root = nullptr;
  std::string path;  // below the root, as opened
  std::shared_ptr<const qelplat::CRegHive> hive;
  size_t at = 0;
  bool entry = false;
  // Listed at the first enumeration.
  std::once_flag listed;
  std::vector<qelplat::TRegName> children;
};

class CKeyTable {
 public:
  HKEY Add(std::shared_ptr<TOpenKey> key) {
    std::lock_guard<std::mutex> hold(m_lock);
    m_next += 4;
    if (m_next >= 0x7FFFFFF0u) m_next = 0x10000;
    uintptr_t id = m_next;
    m_keys[id] = std::move(key);
    return reinterpret_cast<HKEY>(id);
  }
  // Shared, so the caller works without holding the table while another thread closes the key.
  std::shared_ptr<TOpenKey> Get(HKEY key) {
    std::lock_guard<std::mutex> hold(m_lock);
    auto it = m_keys.find(reinterpret_cast<uintptr_t>(key));
    return it == m_keys.end() ? nullptr : it->second;
  }
  bool Remove(HKEY key) {
    std::shared_ptr<TOpenKey> gone;  // released after the table is let go
    std::lock_guard<std::mutex> hold(m_lock);
    auto it = m_keys.find(reinterpret_cast<uintptr_t>(key));
    if (it == m_keys.end()) return false;
    gone = std::move(it->second);
    m_keys.erase(it);
    return true;
  }

 private:
  std::mutex m_lock;
  uintptr_t m_next = 0x10000;
  std::map<uintptr_t, std::shared_ptr<TOpenKey>> m_keys;
};

CKeyTable& Keys() {
  // Never destroyed: a thread may still close a key while the process exits.
  static CKeyTable* table = new CKeyTable;
  return *table;
}

std::string HomeFolder() {
  const char* home = getenv("HOME");
  if (home && *home) return home;
  struct passwd* pw = getpwuid(getuid());
  return pw && pw->pw_dir ? pw->pw_dir : "";
}

}  // namespace

namespace qelplat {

std::string RegistryFileOf(HKEY root) {
  const char* name = root == HKEY_CURRENT_USER ? "HKEY_CURRENT_USER.reg"
                     : root == HKEY_LOCAL_MACHINE ? "HKEY_LOCAL_MACHINE.reg"
                                                  : nullptr;
  if (!name) return std::string();
  const char* dir = getenv("QEL_REGISTRY_DIR");
  if (dir && *dir) return std::string(dir) + "/" + name;
  if (root == HKEY_LOCAL_MACHINE) return std::string("/etc/qel/registry/") + name;
  const char* config = getenv("XDG_CONFIG_HOME");
  std::string base = config && *config == '/' ? std::string(config) : HomeFolder() + "/.config";
  return base + "/qel/registry/" + name;
}

TRegFileNotes RegistryFileNotes(HKEY root) {
  if (!IsRoot(root)) return TRegFileNotes();
  return CacheOf(root).Notes();
}

}  // namespace qelplat

LONG RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD, REGSAM rights, PHKEY result) {
  if (!result) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  auto open = std::make_shared<TOpenKey>();
  if (IsRoot(key)) {
    open->root = key;
  } else {
    std::shared_ptr<TOpenKey> base = Keys().Get(key);
    if (!base) return ERROR_INVALID_HANDLE;
    open->root = base->root;
    open->path = base->path;
  }
  open->path = JoinPath(open->path, TrimSeparators(subKey ? subKey : ""));
  if (open->root == HKEY_LOCAL_MACHINE && UnderNetworkCards(open->path)) {
    // A view of the machine's cards: there is nothing to write.
    if (WantsWrite(rights)) return ERROR_ACCESS_DENIED;
    open->hive = NetworkCardsHive();
  } else {
    LONG loaded = LoadHive(open->root, rights, &open->hive);
    if (loaded != ERROR_SUCCESS) return loaded;
  }
  if (!open->hive->Find(open->path, &open->at, &open->entry)) return ERROR_FILE_NOT_FOUND;
  *result = Keys().Add(std::move(open));
  return ERROR_SUCCESS;
}

LONG RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD nameSize, LPDWORD, LPSTR className,
                   LPDWORD classSize, void*) {
  if (!name || !nameSize) return ERROR_INVALID_PARAMETER;
  std::shared_ptr<TOpenKey> open = Keys().Get(key);
  if (!open) return ERROR_INVALID_HANDLE;
  std::call_once(open->listed, [&] { open->children = open->hive->Children(open->path, open->at, open->entry); });
  if (index >= open->children.size()) return ERROR_NO_MORE_ITEMS;
  string_view child = open->hive->Text(open->children[index].offset, open->children[index].length);
  if (child.size() + 1 > *nameSize) return ERROR_MORE_DATA;
  memcpy(name, child.data(), child.size());
  name[child.size()] = '\0';
  *nameSize = static_cast<DWORD>(child.size());
  if (className && classSize && *classSize > 0) className[0] = '\0';
  if (classSize) *classSize = 0;
  return ERROR_SUCCESS;
}

LONG RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD, LPDWORD type, BYTE* data, LPDWORD dataSize) {
  if (data && !dataSize) return ERROR_INVALID_PARAMETER;
  std::shared_ptr<TOpenKey> open = Keys().Get(key);
  if (!open) return ERROR_INVALID_HANDLE;
  const char* wanted = valueName ? valueName : "";
  const qelplat::TRegValueEntry* value = open->entry ? open->hive->FindValue(open->at, wanted) : nullptr;
  if (!value) return ERROR_FILE_NOT_FOUND;
  if (type) *type = value->type;
  string_view bytes = open->hive->Data(*value);
  DWORD needed = static_cast<DWORD>(bytes.size());
  if (!data) {
    if (dataSize) *dataSize = needed;
    return ERROR_SUCCESS;
  }
  if (*dataSize < needed) {
    *dataSize = needed;
    return ERROR_MORE_DATA;
  }
  memcpy(data, bytes.data(), needed);
  *dataSize = needed;
  return ERROR_SUCCESS;
}

LONG RegCloseKey(HKEY key) {
  if (IsRoot(key)) return ERROR_SUCCESS;
  return Keys().Remove(key) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}
