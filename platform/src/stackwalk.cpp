// Stack walk and symbols through elfutils' libdwfl, for the current process only.
#include <cxxabi.h>
#include <dlfcn.h>
#include <elfutils/libdwfl.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "qelplat/dbghelp.h"
#include "qelplat/lasterror.h"
#include "rawsys.h"

namespace {

const HANDLE kCurrentProcess = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));
const HANDLE kCurrentThread = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-2));

// DWARF register numbers of x86-64: rax rdx rcx rbx rsi rdi rbp rsp r8-r15, then the return address.
const unsigned kDwarfRegisters = 17;
const unsigned kDwarfRsp = 7;

const DWORD kErrorModNotFound = 126;
const DWORD kErrorInvalidAddress = 487;

struct WalkFrame {
  DWORD64 pc;
  DWORD64 sp;
  // The fault itself (or a frame interrupted by a signal): its pc is not a return address.
  bool activation;
};

bool IsCurrentProcess(HANDLE process) {
  return process == kCurrentProcess || process == reinterpret_cast<HANDLE>(static_cast<intptr_t>(getpid()));
}

// Reads through the kernel: a bad address fails the read instead of faulting in the middle of a crash.
bool ReadOwnMemory(uintptr_t address, void* out, size_t size) {
  struct iovec local = {out, size};
  struct iovec remote = {reinterpret_cast<void*>(address), size};
  return qelplat::raw::Call(SYS_process_vm_readv, qelplat::raw::GetPid(), qelplat::raw::Arg(&local), 1,
                            qelplat::raw::Arg(&remote), 1, 0) == static_cast<long>(size);
}

int OpenDebugFile(const std::string& path) {
  return path.empty() ? -1 : open(path.c_str(), O_RDONLY | O_CLOEXEC);
}

std::string FolderOf(const char* path) {
  const char* slash = path ? strrchr(path, '/') : nullptr;
  return slash ? std::string(path, slash + 1) : std::string();
}

// Separate debug files on this machine only: by build id, then by debug link beside the file and below
// /usr/lib/debug. The standard libdwfl search would also ask debuginfod servers over the network, which a
// crashing process must never wait for.
int FindLocalDebugInfo(Dwfl_Module* module, void**, const char*, Dwarf_Addr, const char* fileName,
                       const char* debugLink, GElf_Word, char** debugInfoFileName) {
  const unsigned char* id = nullptr;
  GElf_Addr idAddress = 0;
  const int idLength = dwfl_module_build_id(module, &id, &idAddress);
  std::vector<std::string> candidates;
  if (idLength > 1) {
    char hex[3];
    std::string path = "/usr/lib/debug/.build-id/";
    snprintf(hex, sizeof(hex), "%02x", id[0]);
    path += hex;
    path += '/';
    for (int i = 1; i < idLength; ++i) {
      snprintf(hex, sizeof(hex), "%02x", id[i]);
      path += hex;
    }
    candidates.push_back(path + ".debug");
  }
  if (debugLink && *debugLink) {
    const std::string folder = FolderOf(fileName);
    candidates.push_back(folder + debugLink);
    candidates.push_back(folder + ".debug/" + debugLink);
    candidates.push_back("/usr/lib/debug" + folder + debugLink);
  }
  for (const std::string& candidate : candidates) {
    if (fileName && candidate == fileName) continue;
    const int fd = OpenDebugFile(candidate);
    if (fd < 0) continue;
    if (debugInfoFileName) *debugInfoFileName = strdup(candidate.c_str());
    return fd;
  }
  return -1;
}

const Dwfl_Callbacks kProcessCallbacks = {
    dwfl_linux_proc_find_elf,
    FindLocalDebugInfo,
    dwfl_offline_section_address,
    nullptr,
};

struct DwflDeleter {
  void operator()(Dwfl* dwfl) const { dwfl_end(dwfl); }
};
using DwflPtr = std::unique_ptr<Dwfl, DwflDeleter>;

DwflPtr ReportProcess() {
  DwflPtr dwfl(dwfl_begin(&kProcessCallbacks));
  if (!dwfl) return nullptr;
  dwfl_report_begin(dwfl.get());
  const int failed = dwfl_linux_proc_report(dwfl.get(), getpid());
  dwfl_report_end(dwfl.get(), nullptr, nullptr);
  if (failed != 0) return nullptr;
  return dwfl;
}

// The unwinder's view of the one thread being walked: its registers at the fault.
struct WalkState {
  Dwarf_Word registers[kDwarfRegisters];
  std::vector<WalkFrame>* frames;
};

pid_t NextThread(Dwfl*, void*, void**) { return 0; }

bool GetThread(Dwfl*, pid_t, void* dwflArg, void** threadArg) {
  *threadArg = dwflArg;
  return true;
}

bool MemoryRead(Dwfl*, Dwarf_Addr address, Dwarf_Word* result, void*) {
  return ReadOwnMemory(static_cast<uintptr_t>(address), result, sizeof(*result));
}

bool SetInitialRegisters(Dwfl_Thread* thread, void* threadArg) {
  const WalkState* state = static_cast<const WalkState*>(threadArg);
  return dwfl_thread_state_registers(thread, 0, kDwarfRegisters, state->registers);
}

const Dwfl_Thread_Callbacks kThreadCallbacks = {
    NextThread, GetThread, MemoryRead, SetInitialRegisters, nullptr, nullptr,
};

int OnFrame(Dwfl_Frame* frame, void* arg) {
  WalkState* state = static_cast<WalkState*>(arg);
  WalkFrame out = {};
  if (!dwfl_frame_pc(frame, &out.pc, &out.activation) || out.pc == 0) return DWARF_CB_ABORT;
  Dwarf_Word sp = 0;
  if (dwfl_frame_reg(frame, kDwarfRsp, &sp) == 0) out.sp = sp;
  state->frames->push_back(out);
  return state->frames->size() >= qelplat::kMaxStackFrames ? DWARF_CB_ABORT : DWARF_CB_OK;
}

std::vector<WalkFrame> Unwind(const CONTEXT& c) {
  std::vector<WalkFrame> frames;
  DwflPtr dwfl = ReportProcess();
  if (!dwfl) return frames;
  WalkState state = {{c.Rax, c.Rdx, c.Rcx, c.Rbx, c.Rsi, c.Rdi, c.Rbp, c.Rsp, c.R8, c.R9, c.R10, c.R11, c.R12,
                      c.R13, c.R14, c.R15, c.Rip},
                     &frames};
  if (!dwfl_attach_state(dwfl.get(), nullptr, getpid(), &kThreadCallbacks, &state)) return frames;
  // The end of the chain reports an error as well; the frames found up to there are the walk.
  dwfl_getthread_frames(dwfl.get(), getpid(), OnFrame, &state);
  return frames;
}

// "ns::Type::Method(int) const" -> "ns::Type::Method"; a name without parameters stays as it is.
std::string WithoutParameters(std::string name) {
  const size_t clone = name.find(" [clone ");
  if (clone != std::string::npos) name.erase(clone);
  static const char* const kQualifiers[] = {" const", " volatile", " &&", " &", " noexcept"};
  for (bool stripped = true; stripped;) {
    stripped = false;
    for (const char* qualifier : kQualifiers) {
      const size_t length = strlen(qualifier);
      if (name.size() > length && name.compare(name.size() - length, length, qualifier) == 0) {
        name.erase(name.size() - length);
        stripped = true;
      }
    }
  }
  if (name.empty() || name.back() != ')') return name;
  int depth = 0;
  for (size_t i = name.size(); i-- > 0;) {
    if (name[i] == ')') ++depth;
    if (name[i] == '(' && --depth == 0) return i == 0 ? name : name.substr(0, i);
  }
  return name;
}

std::string DisplayName(const char* symbol) {
  if (strncmp(symbol, "_Z", 2) != 0) {
    // A versioned dynamic symbol ("name@@GLIBC_2.34") is shown by its name.
    const char* version = strchr(symbol, '@');
    return version ? std::string(symbol, version) : std::string(symbol);
  }
  int status = 0;
  std::unique_ptr<char, decltype(&free)> demangled(abi::__cxa_demangle(symbol, nullptr, nullptr, &status), &free);
  if (status != 0 || !demangled) return symbol;
  return WithoutParameters(demangled.get());
}

void CopyCut(char* destination, size_t capacity, const char* source) {
  if (capacity == 0) return;
  const size_t length = strnlen(source, capacity - 1);
  memcpy(destination, source, length);
  destination[length] = '\0';
}

const char* BaseName(const char* path) {
  const char* slash = strrchr(path, '/');
  return slash ? slash + 1 : path;
}

struct SourceLine {
  const char* file;
  int number;
  Dwarf_Addr address;
};

bool CoversAddress(Dwarf_Die* unit, Dwarf_Addr address) {
  Dwarf_Addr base = 0;
  Dwarf_Addr start = 0;
  Dwarf_Addr end = 0;
  for (ptrdiff_t offset = 0; (offset = dwarf_ranges(unit, offset, &base, &start, &end)) > 0;)
    if (address >= start && address < end) return true;
  return false;
}

// The line table is found through the file's address-range index when it has one; clang writes none, so
// then the compile unit is found by its own ranges.
bool FindSourceLine(Dwfl_Module* module, Dwarf_Addr address, SourceLine* out) {
  if (Dwfl_Line* line = dwfl_module_getsrc(module, address)) {
    out->file = dwfl_lineinfo(line, &out->address, &out->number, nullptr, nullptr, nullptr);
    if (out->file) return true;
  }
  Dwarf_Addr bias = 0;
  for (Dwarf_Die* unit = dwfl_module_nextcu(module, nullptr, &bias); unit;
       unit = dwfl_module_nextcu(module, unit, &bias)) {
    if (!CoversAddress(unit, address - bias)) continue;
    Dwarf_Line* line = dwarf_getsrc_die(unit, address - bias);
    const char* file = line ? dwarf_linesrc(line, nullptr, nullptr) : nullptr;
    Dwarf_Addr lineAddress = 0;
    if (!file || dwarf_lineno(line, &out->number) != 0 || dwarf_lineaddr(line, &lineAddress) != 0) continue;
    out->file = file;
    out->address = lineAddress + bias;
    return true;
  }
  return false;
}

// One symbol session of the current process, between SymInitialize and SymCleanup.
class SymbolSession {
 public:
  explicit SymbolSession(DwflPtr dwfl) : m_dwfl(std::move(dwfl)) {}

  BOOL NextFrame(const CONTEXT& context, STACKFRAME64* frame) {
    if (frame->Reserved[0] == 0) m_frames = Unwind(context);
    const size_t index = static_cast<size_t>(frame->Reserved[0]);
    if (index >= m_frames.size()) return FALSE;
    const WalkFrame& current = m_frames[index];
    const WalkFrame* caller = index + 1 < m_frames.size() ? &m_frames[index + 1] : nullptr;
    Fill(&frame->AddrPC, current.pc);
    Fill(&frame->AddrReturn, caller ? caller->pc : 0);
    Fill(&frame->AddrStack, current.sp);
    Fill(&frame->AddrFrame, caller && caller->sp ? caller->sp : current.sp);
    frame->Reserved[0] = index + 1;
    return TRUE;
  }

  // The address to look up: a return address belongs to the call one byte before it.
  Dwarf_Addr LookupAddress(DWORD64 address) const {
    for (const WalkFrame& f : m_frames)
      if (f.pc == address && !f.activation) return address - 1;
    return address;
  }

  Dwfl_Module* ModuleAt(Dwarf_Addr address) const { return dwfl_addrmodule(m_dwfl.get(), address); }

 private:
  static void Fill(ADDRESS64* address, DWORD64 offset) {
    address->Offset = offset;
    address->Segment = 0;
    address->Mode = AddrModeFlat;
  }

  DwflPtr m_dwfl;
  std::vector<WalkFrame> m_frames;
};

std::mutex g_sessionLock;
std::unique_ptr<SymbolSession> g_session;

// The open session of the process, or null with the error set.
SymbolSession* SessionOf(HANDLE process) {
  if (!IsCurrentProcess(process) || !g_session) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return g_session.get();
}

}  // namespace

HANDLE GetCurrentProcess() { return kCurrentProcess; }
HANDLE GetCurrentThread() { return kCurrentThread; }

BOOL SymInitialize(HANDLE process, LPCSTR, BOOL) {
  if (!IsCurrentProcess(process)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  DwflPtr dwfl = ReportProcess();
  if (!dwfl) {
    SetLastError(ERROR_GEN_FAILURE);
    return FALSE;
  }
  std::lock_guard<std::mutex> lock(g_sessionLock);
  g_session = std::make_unique<SymbolSession>(std::move(dwfl));
  return TRUE;
}

BOOL SymCleanup(HANDLE process) {
  std::lock_guard<std::mutex> lock(g_sessionLock);
  if (!SessionOf(process)) return FALSE;
  g_session.reset();
  return TRUE;
}

BOOL StackWalk64(DWORD machineType, HANDLE process, HANDLE, STACKFRAME64* stackFrame, PVOID contextRecord,
                 PREAD_PROCESS_MEMORY_ROUTINE64, PFUNCTION_TABLE_ACCESS_ROUTINE64, PGET_MODULE_BASE_ROUTINE64,
                 PTRANSLATE_ADDRESS_ROUTINE64) {
  std::lock_guard<std::mutex> lock(g_sessionLock);
  SymbolSession* session = SessionOf(process);
  if (!session) return FALSE;
  if (machineType != IMAGE_FILE_MACHINE_AMD64 || !stackFrame || !contextRecord) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return session->NextFrame(*static_cast<const CONTEXT*>(contextRecord), stackFrame);
}

PVOID SymFunctionTableAccess64(HANDLE, DWORD64) { return nullptr; }

DWORD64 SymGetModuleBase64(HANDLE process, DWORD64 address) {
  std::lock_guard<std::mutex> lock(g_sessionLock);
  SymbolSession* session = SessionOf(process);
  Dwfl_Module* module = session ? session->ModuleAt(address) : nullptr;
  if (!module) return 0;
  Dwarf_Addr start = 0;
  dwfl_module_info(module, nullptr, &start, nullptr, nullptr, nullptr, nullptr, nullptr);
  return start;
}

BOOL SymGetSymFromAddr64(HANDLE process, DWORD64 address, PDWORD64 displacement, IMAGEHLP_SYMBOL64* symbol) {
  std::lock_guard<std::mutex> lock(g_sessionLock);
  SymbolSession* session = SessionOf(process);
  if (!session) return FALSE;
  if (!symbol) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const Dwarf_Addr lookup = session->LookupAddress(address);
  const char* name = nullptr;
  GElf_Off offset = 0;
  GElf_Sym elfSymbol = {};
  if (Dwfl_Module* module = session->ModuleAt(lookup))
    name = dwfl_module_addrinfo(module, lookup, &offset, &elfSymbol, nullptr, nullptr, nullptr);
  Dl_info info = {};
  if (!name && dladdr(reinterpret_cast<void*>(lookup), &info) && info.dli_sname) {
    name = info.dli_sname;
    offset = lookup - reinterpret_cast<uintptr_t>(info.dli_saddr);
  }
  if (!name) {
    SetLastError(kErrorInvalidAddress);
    return FALSE;
  }
  const std::string shown = DisplayName(name);
  symbol->Address = lookup - offset;
  symbol->Size = static_cast<DWORD>(elfSymbol.st_size);
  symbol->Flags = 0;
  CopyCut(symbol->Name, static_cast<size_t>(symbol->MaxNameLength) + 1, shown.c_str());
  if (displacement) *displacement = address - symbol->Address;
  return TRUE;
}

BOOL SymGetLineFromAddr64(HANDLE process, DWORD64 address, LPDWORD displacement, IMAGEHLP_LINE64* line) {
  std::lock_guard<std::mutex> lock(g_sessionLock);
  SymbolSession* session = SessionOf(process);
  if (!session) return FALSE;
  if (!line) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const Dwarf_Addr lookup = session->LookupAddress(address);
  Dwfl_Module* module = session->ModuleAt(lookup);
  SourceLine found = {};
  if (!module || !FindSourceLine(module, lookup, &found)) {
    SetLastError(kErrorInvalidAddress);
    return FALSE;
  }
  line->Key = nullptr;
  line->LineNumber = static_cast<DWORD>(found.number);
  line->FileName = const_cast<CHAR*>(found.file);
  line->Address = found.address;
  if (displacement) *displacement = static_cast<DWORD>(address - found.address);
  return TRUE;
}

BOOL SymGetModuleInfo64(HANDLE process, DWORD64 address, IMAGEHLP_MODULE64* moduleInfo) {
  std::lock_guard<std::mutex> lock(g_sessionLock);
  SymbolSession* session = SessionOf(process);
  if (!session) return FALSE;
  if (!moduleInfo) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const Dwarf_Addr lookup = session->LookupAddress(address);
  const char* path = nullptr;
  Dwarf_Addr start = 0;
  Dwarf_Addr end = 0;
  if (Dwfl_Module* module = session->ModuleAt(lookup))
    path = dwfl_module_info(module, nullptr, &start, &end, nullptr, nullptr, nullptr, nullptr);
  Dl_info info = {};
  if (!path && dladdr(reinterpret_cast<void*>(lookup), &info) && info.dli_fname) {
    path = info.dli_fname;
    start = end = reinterpret_cast<uintptr_t>(info.dli_fbase);
  }
  if (!path) {
    SetLastError(kErrorModNotFound);
    return FALSE;
  }
  moduleInfo->BaseOfImage = start;
  moduleInfo->ImageSize = static_cast<DWORD>(end - start);
  moduleInfo->TimeDateStamp = 0;
  moduleInfo->CheckSum = 0;
  moduleInfo->NumSyms = 0;
  moduleInfo->SymType = SymDia;
  CopyCut(moduleInfo->ModuleName, sizeof(moduleInfo->ModuleName), BaseName(path));
  CopyCut(moduleInfo->ImageName, sizeof(moduleInfo->ImageName), path);
  CopyCut(moduleInfo->LoadedImageName, sizeof(moduleInfo->LoadedImageName), path);
  return TRUE;
}
