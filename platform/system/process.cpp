#include "platform/system/process.h"

#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/system/last_error.h"
#include "platform/types/wide_string.h"

namespace {

std::wstring BuildCommandLine() {
  std::ifstream file("/proc/self/cmdline", std::ios::binary);
  const std::string raw((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  std::string line;
  std::size_t start = 0;
  bool first = true;
  while (start < raw.size()) {
    std::size_t end = raw.find('\0', start);
    if (end == std::string::npos) end = raw.size();
    std::string argument = raw.substr(start, end - start);
    if (first) {
      const std::size_t slash = argument.rfind('/');
      if (slash != std::string::npos) argument.erase(0, slash + 1);
      line = argument;
      first = false;
    } else {
      line += ' ';
      line += argument;
    }
    start = end + 1;
  }
  return platform::FromUtf8(line);
}

std::string ExecutablePath() {
  std::string path(256, '\0');
  for (;;) {
    const ssize_t length = ::readlink("/proc/self/exe", path.data(), path.size());
    if (length < 0) return {};
    if (static_cast<std::size_t>(length) < path.size()) {
      path.resize(static_cast<std::size_t>(length));
      return path;
    }
    path.resize(path.size() * 2);
  }
}

// The executable's handle as dlopen names it; held for the life of the process.
void* ExecutableHandle() {
  static void* const handle = ::dlopen(nullptr, RTLD_LAZY);
  return handle;
}

}  // namespace

LPWSTR GetCommandLineW() {
  static std::wstring line = BuildCommandLine();
  return line.data();
}

DWORD GetModuleFileNameW(HMODULE module, LPWSTR fileName, DWORD size) {
  std::string path;
  if (module == nullptr || module == ExecutableHandle()) {
    path = ExecutablePath();
  } else {
    link_map* map = nullptr;
    if (::dlinfo(module, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr || map->l_name == nullptr) {
      SetLastError(ERROR_INVALID_HANDLE);
      return 0;
    }
    path = map->l_name;
  }
  if (path.empty()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return 0;
  }
  if (size == 0 || fileName == nullptr) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  const std::wstring wide = platform::FromUtf8(path);
  if (wide.size() >= size) {
    wide.copy(fileName, size - 1);
    fileName[size - 1] = L'\0';
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
  }
  wide.copy(fileName, wide.size());
  fileName[wide.size()] = L'\0';
  return static_cast<DWORD>(wide.size());
}

HMODULE GetModuleHandleW(LPCWSTR moduleName) {
  if (moduleName == nullptr) return ExecutableHandle();
  void* handle = ::dlopen(platform::ToUtf8(moduleName).c_str(), RTLD_LAZY | RTLD_NOLOAD);
  if (handle == nullptr) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  // RTLD_NOLOAD still counts a reference; the module stays loaded through its own.
  ::dlclose(handle);
  return handle;
}

void ExitProcess(UINT exitCode) {
  std::fflush(nullptr);
  ::_exit(static_cast<int>(exitCode));
}
