#include "qelplat/dynlib.h"

#include <dlfcn.h>
#include <strings.h>

#include <cstring>

#include "qelplat/dbghelp.h"
#include "qelplat/lasterror.h"

namespace {

const DWORD kErrorModNotFound = 126;
const DWORD kErrorProcNotFound = 127;

LONG AdjustPrivilege(uint32_t, BOOL, BOOL, BOOL* wasEnabled) {
  if (wasEnabled) *wasEnabled = FALSE;
  return 0;
}

struct BuiltinFunction {
  const char* name;
  FARPROC function;
};

struct BuiltinModule {
  const char* name;
  const BuiltinFunction* functions;
};

const BuiltinFunction kNtdll[] = {
    {"RtlAdjustPrivilege", reinterpret_cast<FARPROC>(&AdjustPrivilege)},
    {nullptr, nullptr},
};

const BuiltinFunction kDbgHelp[] = {
    {"MiniDumpWriteDump", reinterpret_cast<FARPROC>(&qelplat::WriteCoreDump)},
    {nullptr, nullptr},
};

const BuiltinModule kBuiltins[] = {
    {"ntdll.dll", kNtdll},
    {"ntdll", kNtdll},
    {"dbghelp.dll", kDbgHelp},
    {"dbghelp", kDbgHelp},
};

const BuiltinModule* FindBuiltin(HMODULE module) {
  for (const BuiltinModule& m : kBuiltins)
    if (module == &m) return &m;
  return nullptr;
}

HMODULE BuiltinByName(LPCSTR name) {
  for (const BuiltinModule& m : kBuiltins)
    if (strcasecmp(m.name, name) == 0) return const_cast<BuiltinModule*>(&m);
  return nullptr;
}

}  // namespace

HMODULE GetModuleHandleA(LPCSTR name) {
  if (!name) return dlopen(nullptr, RTLD_LAZY | RTLD_NOLOAD);
  if (HMODULE builtin = BuiltinByName(name)) return builtin;
  HMODULE module = dlopen(name, RTLD_LAZY | RTLD_NOLOAD);
  if (!module) SetLastError(kErrorModNotFound);
  return module;
}

HMODULE LoadLibraryA(LPCSTR name) {
  if (!name) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (HMODULE builtin = BuiltinByName(name)) return builtin;
  HMODULE module = dlopen(name, RTLD_NOW | RTLD_LOCAL);
  if (!module) SetLastError(kErrorModNotFound);
  return module;
}

FARPROC GetProcAddress(HMODULE module, LPCSTR name) {
  if (!module || !name) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (const BuiltinModule* builtin = FindBuiltin(module)) {
    for (const BuiltinFunction* f = builtin->functions; f->name; ++f)
      if (strcmp(f->name, name) == 0) return f->function;
    SetLastError(kErrorProcNotFound);
    return nullptr;
  }
  void* symbol = dlsym(module, name);
  if (!symbol) SetLastError(kErrorProcNotFound);
  return reinterpret_cast<FARPROC>(symbol);
}

BOOL FreeLibrary(HMODULE module) {
  if (!module) return FALSE;
  if (FindBuiltin(module)) return TRUE;
  return dlclose(module) == 0 ? TRUE : FALSE;
}
