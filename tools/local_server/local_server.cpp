#include "tools/local_server/local_server.h"

#include <strings.h>

#include <cstdio>
#include <filesystem>

#include "platform/system/format_message.h"
#include "platform/types/error_codes.h"
#include "platform/types/wide_string.h"

namespace Talvaro::Tools {

LONG LocalServerModule::Lock() {
  std::lock_guard lock(mutex_);
  used_ = true;
  return ++count_;
}

LONG LocalServerModule::Unlock() {
  std::lock_guard lock(mutex_);
  if (--count_ == 0) changed_.notify_all();
  return count_;
}

LONG LocalServerModule::GetLockCount() {
  std::lock_guard lock(mutex_);
  return count_;
}

void LocalServerModule::Stop() {
  std::lock_guard lock(mutex_);
  stopped_ = true;
  changed_.notify_all();
}

void LocalServerModule::WaitUntilDone() {
  std::unique_lock lock(mutex_);
  const auto done = [this] { return stopped_ || (used_ && count_ == 0); };
  if (!changed_.wait_for(lock, idleBound_, [&] { return done() || used_; })) return;  // nobody came
  changed_.wait(lock, done);
}

LSTATUS SetClassesRootDefault(const std::wstring& keyPath, const std::wstring& text) {
  HKEY key = nullptr;
  LSTATUS status = RegCreateKeyExW(HKEY_CLASSES_ROOT, keyPath.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                   nullptr);
  if (status != ERROR_SUCCESS) return status;
  status = RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(key);
  return status;
}

bool IsOption(const char* argument, std::initializer_list<const char*> spellings) {
  for (const char* spelling : spellings) {
    if (::strcasecmp(argument, spelling) == 0) return true;
  }
  return false;
}

bool RunsProgram(pid_t pid, const std::string& program) {
  if (pid <= 0) return false;
  std::error_code failure;
  const auto executable = std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe", failure);
  return !failure && executable.filename() == program;
}

int ReportFailure(const char* program, const std::string& what, LSTATUS status) {
  std::fprintf(stderr, "%s: %s: %s (%ld)\n", program, what.c_str(),
               platform::ToUtf8(platform::system::SystemMessage(static_cast<DWORD>(status))).c_str(),
               static_cast<long>(status));
  return 1;
}

}  // namespace Talvaro::Tools
