// The full-memory dump as an ELF core file of the running process, laid out as the kernel lays out its own:
// one PT_NOTE segment (per thread NT_PRSTATUS and NT_PRFPREG, the faulting thread first; NT_PRPSINFO,
// NT_SIGINFO, NT_AUXV and NT_FILE after the first thread's status), then one PT_LOAD per mapping. Like the
// kernel, mappings that are unreadable, marked "do not dump" (a sanitizer's shadow memory) or device memory
// keep their header but no contents, and pages of anonymous memory that were never touched are left as
// holes of the file (they read as zeros, which is what they hold).
//
// Everything here is safe inside a signal handler: direct system calls, memory from its own mappings.
#include <elf.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/procfs.h>
#include <ucontext.h>

#include <cerrno>
#include <cstring>

#include "qelplat/dbghelp.h"
#include "qelplat/fileio.h"
#include "qelplat/lasterror.h"
#include "rawsys.h"
#include "threadhold.h"

namespace qelplat {
namespace {

const uint64_t kPage = 4096;
const uint64_t kWriteChunk = 1 << 20;
// Program headers are counted in 16 bits; the kernel's map limit stays below.
const size_t kMaxMappings = 65534;

struct Mapping {
  uint64_t start;
  uint64_t end;
  uint64_t offset;
  uint64_t inode;
  uint32_t flags;  // PF_R, PF_W, PF_X
  bool dump;
  // Plain anonymous memory, whose pages read as zeros until touched (not the kernel's special mappings).
  bool anonymous;
  // Path of a mapped file, in the names buffer; empty for anonymous and special mappings.
  uint32_t nameOffset;
  uint32_t nameLength;
};

bool IsLowerHex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

uint64_t ParseNumber(const char** cursor, unsigned base) {
  uint64_t value = 0;
  for (const char* c = *cursor;; ++c) {
    unsigned digit;
    if (*c >= '0' && *c <= '9') {
      digit = static_cast<unsigned>(*c - '0');
    } else if (base == 16 && *c >= 'a' && *c <= 'f') {
      digit = static_cast<unsigned>(*c - 'a' + 10);
    } else {
      *cursor = c;
      return value;
    }
    value = value * base + digit;
  }
}

void SkipBlanks(const char** cursor) {
  while (**cursor == ' ' || **cursor == '\t') ++*cursor;
}

void SkipField(const char** cursor) {
  while (**cursor && **cursor != ' ' && **cursor != '\n') ++*cursor;
}

// "start-end perms offset dev inode   path"
bool ParseHeader(const char* line, const char* end, raw::Buffer* names, Mapping* out) {
  const char* c = line;
  out->start = ParseNumber(&c, 16);
  if (*c++ != '-') return false;
  out->end = ParseNumber(&c, 16);
  SkipBlanks(&c);
  if (end - c < 4) return false;
  out->flags = (c[0] == 'r' ? PF_R : 0) | (c[1] == 'w' ? PF_W : 0) | (c[2] == 'x' ? PF_X : 0);
  SkipField(&c);
  SkipBlanks(&c);
  out->offset = ParseNumber(&c, 16);
  SkipBlanks(&c);
  SkipField(&c);  // device
  SkipBlanks(&c);
  out->inode = ParseNumber(&c, 10);
  SkipBlanks(&c);
  out->dump = (out->flags & PF_R) != 0;
  out->anonymous = out->inode == 0 && (c >= end || strncmp(c, "[heap]", 6) == 0 || strncmp(c, "[stack", 6) == 0 ||
                                       strncmp(c, "[anon", 5) == 0);
  out->nameOffset = static_cast<uint32_t>(names->Size());
  out->nameLength = 0;
  if (c < end && *c == '/') {
    out->nameLength = static_cast<uint32_t>(end - c);
    names->Append(c, static_cast<size_t>(end - c));
    names->AppendZeros(1);
  }
  return out->end > out->start;
}

// "VmFlags: rd wr mr mw me ac sd": "dd" is madvise(MADV_DONTDUMP), "io" device memory.
bool DumpAllowed(const char* flags, const char* end) {
  for (const char* c = flags; c + 1 < end; ++c) {
    if (c[-1] != ' ') continue;
    if ((c[0] == 'd' && c[1] == 'd') || (c[0] == 'i' && c[1] == 'o')) return false;
  }
  return true;
}

bool ReadMappings(raw::Buffer* mappings, raw::Buffer* names) {
  raw::Buffer smaps;
  if (!smaps.AppendFile("/proc/self/smaps") || smaps.Size() == 0) return false;
  const char* text = smaps.Data();
  const char* const stop = text + smaps.Size();
  Mapping* last = nullptr;
  for (const char* line = text; line < stop;) {
    const char* end = static_cast<const char*>(memchr(line, '\n', static_cast<size_t>(stop - line)));
    if (!end) end = stop;
    if (IsLowerHex(*line)) {
      Mapping m = {};
      last = nullptr;
      if (ParseHeader(line, end, names, &m) && mappings->Size() / sizeof(Mapping) < kMaxMappings &&
          mappings->Append(&m, sizeof(m)))
        last = reinterpret_cast<Mapping*>(mappings->Data() + mappings->Size() - sizeof(m));
    } else if (last && strncmp(line, "VmFlags:", 8) == 0) {
      last->dump = last->dump && DumpAllowed(line + 8, end);
    }
    line = end + 1;
  }
  return !mappings->Failed() && !names->Failed();
}

size_t Align4(size_t n) { return (n + 3) & ~static_cast<size_t>(3); }

void AddNote(raw::Buffer* notes, uint32_t type, const void* desc, size_t size) {
  static const char kName[] = "CORE";
  Elf64_Nhdr header = {};
  header.n_namesz = sizeof(kName);
  header.n_descsz = static_cast<uint32_t>(size);
  header.n_type = type;
  notes->Append(&header, sizeof(header));
  notes->Append(kName, sizeof(kName));
  notes->AppendZeros(Align4(sizeof(kName)) - sizeof(kName));
  notes->Append(desc, size);
  notes->AppendZeros(Align4(size) - size);
}

void AddThread(raw::Buffer* notes, const ThreadRegisters& thread, int signal) {
  elf_prstatus status = {};
  status.pr_info.si_signo = signal;
  status.pr_cursig = static_cast<short>(signal);
  status.pr_pid = thread.tid;
  status.pr_ppid = static_cast<pid_t>(raw::Call(SYS_getppid));
  status.pr_pgrp = static_cast<pid_t>(raw::Call(SYS_getpgid, 0));
  status.pr_sid = static_cast<pid_t>(raw::Call(SYS_getsid, 0));
  static_assert(sizeof(status.pr_reg) == sizeof(thread.regs), "elf_gregset_t is user_regs_struct");
  memcpy(&status.pr_reg, &thread.regs, sizeof(thread.regs));
  status.pr_fpvalid = thread.fpValid;
  AddNote(notes, NT_PRSTATUS, &status, sizeof(status));
}

void AddFloatingPoint(raw::Buffer* notes, const ThreadRegisters& thread) {
  if (thread.fpValid) AddNote(notes, NT_PRFPREG, &thread.fpregs, sizeof(thread.fpregs));
}

void AddProcessInfo(raw::Buffer* notes) {
  elf_prpsinfo info = {};
  info.pr_sname = 'R';
  info.pr_uid = static_cast<__pr_uid_t>(raw::Call(SYS_getuid));
  info.pr_gid = static_cast<__pr_gid_t>(raw::Call(SYS_getgid));
  info.pr_pid = raw::GetPid();
  info.pr_ppid = static_cast<int>(raw::Call(SYS_getppid));
  info.pr_pgrp = static_cast<int>(raw::Call(SYS_getpgid, 0));
  info.pr_sid = static_cast<int>(raw::Call(SYS_getsid, 0));
  raw::Buffer comm;
  comm.AppendFile("/proc/self/comm");
  for (size_t i = 0; i < comm.Size() && i + 1 < sizeof(info.pr_fname) && comm.Data()[i] != '\n'; ++i)
    info.pr_fname[i] = comm.Data()[i];
  raw::Buffer arguments;
  arguments.AppendFile("/proc/self/cmdline");
  size_t length = arguments.Size() < sizeof(info.pr_psargs) - 1 ? arguments.Size() : sizeof(info.pr_psargs) - 1;
  while (length > 0 && arguments.Data()[length - 1] == '\0') --length;
  for (size_t i = 0; i < length; ++i) info.pr_psargs[i] = arguments.Data()[i] ? arguments.Data()[i] : ' ';
  AddNote(notes, NT_PRPSINFO, &info, sizeof(info));
}

void AddAuxiliaryVector(raw::Buffer* notes) {
  raw::Buffer auxv;
  if (auxv.AppendFile("/proc/self/auxv") && auxv.Size() > 0) AddNote(notes, NT_AUXV, auxv.Data(), auxv.Size());
}

// count, page size, then (start, end, offset in pages) per mapped file, then their paths.
void AddMappedFiles(raw::Buffer* notes, const raw::Buffer& mappings, const raw::Buffer& names) {
  const Mapping* all = reinterpret_cast<const Mapping*>(mappings.Data());
  const size_t total = mappings.Size() / sizeof(Mapping);
  raw::Buffer desc;
  uint64_t header[2] = {0, kPage};
  desc.Append(header, sizeof(header));
  for (size_t i = 0; i < total; ++i) {
    if (all[i].nameLength == 0) continue;
    const uint64_t entry[3] = {all[i].start, all[i].end, all[i].offset / kPage};
    desc.Append(entry, sizeof(entry));
    ++header[0];
  }
  for (size_t i = 0; i < total; ++i)
    if (all[i].nameLength != 0) desc.Append(names.Data() + all[i].nameOffset, all[i].nameLength + 1);
  if (desc.Failed()) return;
  memcpy(desc.Data(), &header[0], sizeof(header[0]));
  AddNote(notes, NT_FILE, desc.Data(), desc.Size());
}

// Writes memory into the file. Pages that cannot be read (a mapping that changed, a file cut short) stay
// holes; only an error of the file itself ends the dump. Returns 0 or the error number.
int WriteRange(int fd, uint64_t address, uint64_t length, uint64_t fileOffset) {
  for (uint64_t done = 0; done < length;) {
    const uint64_t size = length - done < kWriteChunk ? length - done : kWriteChunk;
    const long written = raw::PWrite(fd, reinterpret_cast<const void*>(address + done), size, fileOffset + done);
    if (written < 0 && written != -EFAULT) return static_cast<int>(-written);
    if (written != static_cast<long>(size)) {
      for (uint64_t page = 0; page < size; page += kPage) {
        const long w = raw::PWrite(fd, reinterpret_cast<const void*>(address + done + page), kPage,
                                   fileOffset + done + page);
        if (w < 0 && w != -EFAULT) return static_cast<int>(-w);
      }
    }
    done += size;
  }
  return 0;
}

// Anonymous memory: only the pages that exist (in memory or in swap) are written.
int WriteAnonymous(int pagemap, int fd, const Mapping& m, uint64_t fileOffset) {
  const uint64_t kPresent = 1ULL << 63;
  const uint64_t kSwapped = 1ULL << 62;
  uint64_t entries[512];
  const uint64_t pages = (m.end - m.start) / kPage;
  uint64_t runStart = 0;
  uint64_t runLength = 0;
  for (uint64_t first = 0; first < pages; first += 512) {
    const uint64_t count = pages - first < 512 ? pages - first : 512;
    const long n = raw::PRead(pagemap, entries, count * sizeof(uint64_t), (m.start / kPage + first) * sizeof(uint64_t));
    if (n != static_cast<long>(count * sizeof(uint64_t))) {
      for (uint64_t i = 0; i < count; ++i) entries[i] = kPresent;
    }
    for (uint64_t i = 0; i < count; ++i) {
      const uint64_t page = first + i;
      if (entries[i] & (kPresent | kSwapped)) {
        if (runLength == 0) runStart = page;
        ++runLength;
        continue;
      }
      if (runLength == 0) continue;
      const int error = WriteRange(fd, m.start + runStart * kPage, runLength * kPage, fileOffset + runStart * kPage);
      if (error) return error;
      runLength = 0;
    }
  }
  if (runLength == 0) return 0;
  return WriteRange(fd, m.start + runStart * kPage, runLength * kPage, fileOffset + runStart * kPage);
}

int WriteMemory(int fd, const raw::Buffer& mappings, const uint64_t* offsets) {
  const Mapping* all = reinterpret_cast<const Mapping*>(mappings.Data());
  const size_t total = mappings.Size() / sizeof(Mapping);
  const int pagemap = raw::Open("/proc/self/pagemap", O_RDONLY);
  int error = 0;
  for (size_t i = 0; i < total && !error; ++i) {
    const Mapping& m = all[i];
    if (!m.dump) continue;
    const bool anonymous = m.anonymous && pagemap >= 0;
    error = anonymous ? WriteAnonymous(pagemap, fd, m, offsets[i]) : WriteRange(fd, m.start, m.end - m.start, offsets[i]);
  }
  if (pagemap >= 0) raw::Close(pagemap);
  return error;
}

int SignalOf(const void* signalInfo) {
  if (!signalInfo) return 0;
  int signal = 0;
  memcpy(&signal, signalInfo, sizeof(signal));  // si_signo leads siginfo_t
  return signal;
}

int WriteCore(int fd, const ThreadRegisters& faulting, const void* signalInfo) {
  ThreadHold hold;
  hold.HoldOthers();
  raw::Buffer mappings;
  raw::Buffer names;
  if (!ReadMappings(&mappings, &names)) return ENOMEM;
  const int signal = SignalOf(signalInfo);

  raw::Buffer notes;
  AddThread(&notes, faulting, signal);
  AddProcessInfo(&notes);
  if (signalInfo) AddNote(&notes, NT_SIGINFO, signalInfo, sizeof(siginfo_t));
  AddAuxiliaryVector(&notes);
  AddMappedFiles(&notes, mappings, names);
  AddFloatingPoint(&notes, faulting);
  for (size_t i = 0; i < hold.Count(); ++i) {
    const ThreadRegisters& thread = hold.At(i);
    if (thread.tid == faulting.tid) continue;
    AddThread(&notes, thread, signal);
    AddFloatingPoint(&notes, thread);
  }
  if (notes.Failed()) return ENOMEM;

  const size_t count = mappings.Size() / sizeof(Mapping);
  const Mapping* all = reinterpret_cast<const Mapping*>(mappings.Data());
  raw::Buffer headers;
  raw::Buffer offsets;
  Elf64_Ehdr elf = {};
  memcpy(elf.e_ident, ELFMAG, SELFMAG);
  elf.e_ident[EI_CLASS] = ELFCLASS64;
  elf.e_ident[EI_DATA] = ELFDATA2LSB;
  elf.e_ident[EI_VERSION] = EV_CURRENT;
  elf.e_ident[EI_OSABI] = ELFOSABI_NONE;
  elf.e_type = ET_CORE;
  elf.e_machine = EM_X86_64;
  elf.e_version = EV_CURRENT;
  elf.e_phoff = sizeof(Elf64_Ehdr);
  elf.e_ehsize = sizeof(Elf64_Ehdr);
  elf.e_phentsize = sizeof(Elf64_Phdr);
  elf.e_phnum = static_cast<Elf64_Half>(count + 1);
  headers.Append(&elf, sizeof(elf));

  const uint64_t notesOffset = sizeof(Elf64_Ehdr) + sizeof(Elf64_Phdr) * (count + 1);
  Elf64_Phdr note = {};
  note.p_type = PT_NOTE;
  note.p_offset = notesOffset;
  note.p_filesz = notes.Size();
  note.p_align = 4;
  headers.Append(&note, sizeof(note));

  uint64_t offset = (notesOffset + notes.Size() + kPage - 1) & ~(kPage - 1);
  for (size_t i = 0; i < count; ++i) {
    const Mapping& m = all[i];
    Elf64_Phdr load = {};
    load.p_type = PT_LOAD;
    load.p_flags = m.flags;
    load.p_offset = offset;
    load.p_vaddr = m.start;
    load.p_memsz = m.end - m.start;
    load.p_filesz = m.dump ? load.p_memsz : 0;
    load.p_align = kPage;
    headers.Append(&load, sizeof(load));
    offsets.Append(&offset, sizeof(offset));
    offset += load.p_filesz;
  }
  if (headers.Failed() || offsets.Failed()) return ENOMEM;

  long written = raw::PWrite(fd, headers.Data(), headers.Size(), 0);
  if (written != static_cast<long>(headers.Size())) return written < 0 ? static_cast<int>(-written) : EIO;
  written = raw::PWrite(fd, notes.Data(), notes.Size(), notesOffset);
  if (written != static_cast<long>(notes.Size())) return written < 0 ? static_cast<int>(-written) : EIO;
  const int error = WriteMemory(fd, mappings, reinterpret_cast<const uint64_t*>(offsets.Data()));
  if (error) return error;
  // Holes at the end still belong to the file.
  const long truncated = raw::Truncate(fd, offset);
  return truncated < 0 ? static_cast<int>(-truncated) : 0;
}

void RegistersFromRecord(const CONTEXT& c, int tid, ThreadRegisters* out) {
  user_regs_struct& r = out->regs;
  memset(&r, 0, sizeof(r));
  r.r15 = c.R15;
  r.r14 = c.R14;
  r.r13 = c.R13;
  r.r12 = c.R12;
  r.rbp = c.Rbp;
  r.rbx = c.Rbx;
  r.r11 = c.R11;
  r.r10 = c.R10;
  r.r9 = c.R9;
  r.r8 = c.R8;
  r.rax = c.Rax;
  r.rcx = c.Rcx;
  r.rdx = c.Rdx;
  r.rsi = c.Rsi;
  r.rdi = c.Rdi;
  r.orig_rax = ~0ULL;
  r.rip = c.Rip;
  r.cs = c.SegCs;
  r.eflags = c.EFlags;
  r.rsp = c.Rsp;
  r.ss = c.SegSs;
  r.fs_base = c.FsBase;
  r.gs_base = c.GsBase;
  out->fpValid = c.FltSaveValid ? 1 : 0;
  static_assert(sizeof(out->fpregs) == sizeof(c.FltSave), "the FXSAVE image");
  memcpy(&out->fpregs, c.FltSave, sizeof(c.FltSave));
  out->tid = tid;
}

// A crash file's handle carries its descriptor under a tag that no address of this process can have (the
// upper half of it is not a canonical address), so it is never taken for a handle of the handle table.
const uintptr_t kCrashFileTag = static_cast<uintptr_t>(0xC7A5) << 48;
const uintptr_t kDescriptorBits = 0xFFFFFFFFu;

int CrashFileDescriptor(HANDLE file) {
  const uintptr_t value = reinterpret_cast<uintptr_t>(file);
  if ((value & ~kDescriptorBits) != kCrashFileTag) return -1;
  return static_cast<int>(value & kDescriptorBits);
}

// A crash file is written only into a plain file of this user's with no second name: never through a
// link, never into a file of another user (another user's file could be made to hold what the process had
// in memory), never into a fifo or a device.
bool OwnPlainFile(int fd) {
  struct stat st;
  return raw::Call(SYS_fstat, fd, raw::Arg(&st)) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1 &&
         st.st_uid == static_cast<uid_t>(raw::Call(SYS_geteuid));
}

// Opened without following a link at its end and without waiting for a fifo's reader.
const int kCrashOpenFlags = O_NOFOLLOW | O_NONBLOCK | O_NOCTTY;

int OpenReport(const char* path) {
  const int fd = raw::Create(path, O_WRONLY | O_APPEND | kCrashOpenFlags, 0600);
  if (fd < 0) return -1;
  if (!OwnPlainFile(fd)) {
    raw::Close(fd);
    return -1;
  }
  return fd;
}

// An existing file of ours is emptied; one that is not ours (or not a plain file) is left as it is.
int OpenOwnDump(const char* path) {
  int fd = raw::Create(path, O_RDWR | O_EXCL | kCrashOpenFlags, 0600);
  if (fd >= 0 || fd != -EEXIST) return fd;
  fd = raw::Open(path, O_RDWR | kCrashOpenFlags);
  if (fd < 0) return -1;
  if (!OwnPlainFile(fd) || raw::Truncate(fd, 0) != 0) {
    raw::Close(fd);
    return -1;
  }
  return fd;
}

// The dump under its own name, or when that name is taken by what is not ours, a fresh file beside it:
// the name with "-1" to "-9" before its ".dmp".
int OpenDump(const char* path) {
  int fd = OpenOwnDump(path);
  if (fd >= 0) return fd;
  const size_t length = strnlen(path, 4096);
  const size_t stem = length >= 4 && memcmp(path + length - 4, ".dmp", 4) == 0 ? length - 4 : length;
  char fresh[4096 + 8];
  if (length >= 4096) return -1;
  for (char digit = '1'; digit <= '9'; ++digit) {
    memcpy(fresh, path, stem);
    fresh[stem] = '-';
    fresh[stem + 1] = digit;
    memcpy(fresh + stem + 2, path + stem, length - stem + 1);
    fd = raw::Create(fresh, O_RDWR | O_EXCL | kCrashOpenFlags, 0600);
    if (fd >= 0) return fd;
  }
  return -1;
}

bool IsCurrentProcess(HANDLE process) {
  return process == reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)) ||
         process == reinterpret_cast<HANDLE>(static_cast<intptr_t>(raw::GetPid()));
}

}  // namespace

BOOL WriteCoreDump(HANDLE process, DWORD processId, HANDLE file, MINIDUMP_TYPE,
                   MINIDUMP_EXCEPTION_INFORMATION* exceptionParam, MINIDUMP_USER_STREAM_INFORMATION*,
                   MINIDUMP_CALLBACK_INFORMATION*) {
  if (!IsCurrentProcess(process) || processId != static_cast<DWORD>(raw::GetPid())) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  int fd = CrashFileDescriptor(file);
  if (fd < 0) fd = FileDescriptor(file);
  if (fd < 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  ThreadRegisters faulting = {};
  const void* signalInfo = nullptr;
  const EXCEPTION_POINTERS* pointers = exceptionParam ? exceptionParam->ExceptionPointers : nullptr;
  if (pointers && pointers->ContextRecord) {
    const CONTEXT& context = *pointers->ContextRecord;
    RegistersFromRecord(context, static_cast<int>(exceptionParam->ThreadId), &faulting);
    if (SignalOf(context.SignalInfo) != 0) signalInfo = context.SignalInfo;
  } else {
    ucontext_t here;
    getcontext(&here);
    RegistersFromContext(&here, &faulting);
  }
  const int error = WriteCore(fd, faulting, signalInfo);
  if (error) {
    SetLastError(Win32FromErrno(error));
    return FALSE;
  }
  return TRUE;
}

HANDLE CreateCrashFile(const char* path, bool append) {
  if (!path || !*path) return INVALID_HANDLE_VALUE;
  const int fd = append ? OpenReport(path) : OpenDump(path);
  if (fd < 0) return INVALID_HANDLE_VALUE;
  // An older report or dump of ours may have been readable by others; a new one may have met a lax umask.
  raw::Call(SYS_fchmod, fd, 0600);
  return reinterpret_cast<HANDLE>(kCrashFileTag | static_cast<uintptr_t>(fd));
}

BOOL WriteCrashFile(HANDLE file, const void* data, DWORD size) {
  const int fd = CrashFileDescriptor(file);
  if (fd < 0) return FALSE;
  const char* bytes = static_cast<const char*>(data);
  for (DWORD done = 0; done < size;) {
    const long written = raw::Write(fd, bytes + done, size - done);
    if (written == -EINTR) continue;
    if (written <= 0) return FALSE;
    done += static_cast<DWORD>(written);
  }
  return TRUE;
}

void CloseCrashFile(HANDLE file) {
  const int fd = CrashFileDescriptor(file);
  if (fd >= 0) raw::Close(fd);
}

bool CreateCrashFolder(const char* path) {
  char level[4096];
  const size_t length = path ? strnlen(path, sizeof(level)) : sizeof(level);
  if (length == 0 || length >= sizeof(level)) return false;
  memcpy(level, path, length + 1);
  // Every level from the root down; the ones that exist answer EEXIST.
  for (size_t i = 1; i <= length; ++i) {
    if (level[i] != '/' && level[i] != '\0') continue;
    const char kept = level[i];
    level[i] = '\0';
    const long made = raw::Call(SYS_mkdirat, AT_FDCWD, raw::Arg(level), 0755);
    level[i] = kept;
    if (made < 0 && made != -EEXIST && kept == '\0') return false;
  }
  return true;
}

DWORD CrashProgramPath(char* buffer, DWORD size) {
  static const char kDeleted[] = " (deleted)";
  if (!buffer || size == 0) return 0;
  const long n = raw::Call(SYS_readlinkat, AT_FDCWD, raw::Arg("/proc/self/exe"), raw::Arg(buffer), size);
  if (n <= 0 || n >= static_cast<long>(size)) return 0;
  size_t length = static_cast<size_t>(n);
  const size_t mark = sizeof(kDeleted) - 1;
  if (length > mark && memcmp(buffer + length - mark, kDeleted, mark) == 0) length -= mark;
  buffer[length] = '\0';
  return static_cast<DWORD>(length);
}

}  // namespace qelplat
