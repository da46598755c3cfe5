#include "platform/kernel/create_process.h"

#include <fcntl.h>
#include <unistd.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "platform/kernel/synch.h"
#include "platform/system/last_error.h"

namespace {

using platform::kernel::SplitArguments;

TEST(SplitArguments, FollowsTheRuntimeRulesForBlanksQuotesAndBackslashes) {
  using Words = std::vector<std::wstring>;
  EXPECT_EQ(SplitArguments(L"  a\tb  c "), (Words{L"a", L"b", L"c"}));
  EXPECT_EQ(SplitArguments(L"/bin/sh -c \"echo one two\""), (Words{L"/bin/sh", L"-c", L"echo one two"}));
  EXPECT_EQ(SplitArguments(L"a\"b c\"d"), (Words{L"ab cd"}));
  EXPECT_EQ(SplitArguments(L"\"\""), (Words{L""})) << "an empty quoted argument stays";
  EXPECT_EQ(SplitArguments(L"\"say \"\"hi\"\"\""), (Words{L"say \"hi\""}));
  EXPECT_EQ(SplitArguments(LR"(a\\\"b c\\"d e" f\g)"), (Words{LR"(a\"b)", LR"(c\d e)", LR"(f\g)"}));
  EXPECT_TRUE(SplitArguments(L"   ").empty());
}

// Runs `command` through the shell and returns its exit code (or ~0u when it could not start).
DWORD RunShell(const std::wstring& command, BOOL inherit = FALSE, LPCWSTR directory = nullptr, LPVOID environment = nullptr,
          DWORD flags = CREATE_NO_WINDOW) {
  std::wstring line = L"sh -c \"" + command + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, inherit, flags, environment, directory, &startup,
                      &process)) {
    return ~0u;
  }
  EXPECT_EQ(WaitForSingleObject(process.hProcess, 20000), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(process.hThread, 0), WAIT_OBJECT_0) << "both handles name the ended process";
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeProcess(process.hProcess, &code));
  EXPECT_TRUE(CloseHandle(process.hProcess));
  EXPECT_TRUE(CloseHandle(process.hThread));
  return code;
}

TEST(CreateProcess, RunsTheProgramAndGivesItsExitCodeOnceItEnded) {
  EXPECT_EQ(RunShell(L"exit 7"), 7u);
  EXPECT_EQ(RunShell(L"kill -9 $$"), 128u + 9u);
  std::wstring line = L"sleep 30";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  ASSERT_TRUE(CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process));
  DWORD code = 0;
  ASSERT_TRUE(GetExitCodeProcess(process.hProcess, &code));
  EXPECT_EQ(code, STILL_ACTIVE);
  EXPECT_EQ(WaitForSingleObject(process.hProcess, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  ::kill(static_cast<pid_t>(process.dwProcessId), SIGKILL);
  EXPECT_EQ(WaitForSingleObject(process.hProcess, 20000), WAIT_OBJECT_0);
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
}

TEST(CreateProcess, PassesDescriptorsOnlyWhenAskedTheDirectoryAndTheEnvironment) {
  const int open = ::open("/dev/null", O_RDONLY);  // not close-on-exec
  ASSERT_GE(open, 3);
  const std::wstring probe = L"test -e /proc/self/fd/" + std::to_wstring(open);
  EXPECT_EQ(RunShell(probe, FALSE), 1u) << "not inherited";
  EXPECT_EQ(RunShell(probe, TRUE), 0u) << "inherited";
  ::close(open);

  const std::wstring directory = std::filesystem::temp_directory_path().wstring();
  EXPECT_EQ(RunShell(L"test $(pwd) = " + directory, FALSE, directory.c_str()), 0u);
  EXPECT_EQ(RunShell(L"true", FALSE, L"/no/such/directory"), ~0u);
  EXPECT_EQ(GetLastError(), ERROR_DIRECTORY);

  const wchar_t block[] = L"PATH=/usr/bin:/bin\0TALVARO_PROBE=wide value\0";
  EXPECT_EQ(RunShell(L"test \\\"$TALVARO_PROBE\\\" = 'wide value'", FALSE, nullptr, const_cast<wchar_t*>(block),
                CREATE_UNICODE_ENVIRONMENT),
            0u);
  const char narrow[] = "PATH=/usr/bin:/bin\0TALVARO_PROBE=narrow\0";
  EXPECT_EQ(RunShell(L"test $TALVARO_PROBE = narrow", FALSE, nullptr, const_cast<char*>(narrow), 0), 0u);
}

TEST(CreateProcess, FailsWithTheLastErrorForWhatCannotStart) {
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  std::wstring missing = L"/no/such/program --flag";
  EXPECT_FALSE(CreateProcessW(nullptr, missing.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  std::wstring unknown = L"no-such-program-on-the-path";
  EXPECT_FALSE(CreateProcessW(nullptr, unknown.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  const auto file = std::filesystem::temp_directory_path() / ("not-a-program-" + std::to_string(::getpid()));
  std::ofstream(file) << "text\n";
  std::wstring notExecutable = file.wstring();
  EXPECT_FALSE(
      CreateProcessW(nullptr, notExecutable.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED) << "no execute permission";
  std::filesystem::permissions(file, std::filesystem::perms::owner_exec, std::filesystem::perm_options::add);
  EXPECT_FALSE(
      CreateProcessW(nullptr, notExecutable.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process));
  EXPECT_EQ(GetLastError(), ERROR_BAD_EXE_FORMAT);
  std::filesystem::remove(file);
  std::wstring fine = L"true";
  EXPECT_FALSE(CreateProcessW(nullptr, fine.data(), nullptr, nullptr, FALSE, 0x4 /* CREATE_SUSPENDED */, nullptr,
                              nullptr, &startup, &process));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(CreateProcessW(nullptr, fine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  DWORD code = 0;
  EXPECT_FALSE(GetExitCodeProcess(nullptr, &code));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

}  // namespace
