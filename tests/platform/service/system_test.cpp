// The process, console, message-box and letter-case functions, and CoInitializeSecurity.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>

#include "platform/com/apartment.h"
#include "platform/com/security.h"
#include "platform/system/char_case.h"
#include "platform/system/console.h"
#include "platform/system/last_error.h"
#include "platform/system/message_box.h"
#include "platform/system/process.h"
#include "platform/types/wide_string.h"
#include "tests/support/process/child_case.h"

namespace service_test {
namespace {

using namespace std::chrono_literals;

std::string ExecutablePath() { return std::filesystem::read_symlink("/proc/self/exe").string(); }

// Runs one disabled case of this test program in a child process; returns its waitpid status
// and what it wrote to standard output.
int RunChildCase(const std::string& testName, std::string* output) {
  Talvaro::Testing::ChildCase child(testName);
  *output = child.Output();
  return child.Wait();
}

TEST(Process, CommandLineStartsWithTheProgramsFileName) {
  const std::wstring line = GetCommandLineW();
  const std::wstring name = platform::FromUtf8(std::filesystem::path(ExecutablePath()).filename().string());
  // The file name without its directory, so that the directory's slashes never read as switches.
  EXPECT_EQ(line.substr(0, line.find(L' ')), name) << platform::ToUtf8(line);
}

TEST(Process, ModuleFileNameAndHandles) {
  const std::wstring path = platform::FromUtf8(ExecutablePath());
  wchar_t buffer[4096];
  EXPECT_EQ(GetModuleFileNameW(nullptr, buffer, 4096), path.size());
  EXPECT_EQ(std::wstring(buffer), path);
  EXPECT_EQ(GetModuleFileNameW(GetModuleHandleW(nullptr), buffer, 4096), path.size());

  // Cut to size - 1 characters and terminated; the result is the size.
  wchar_t small[6];
  EXPECT_EQ(GetModuleFileNameW(nullptr, small, 6), 6u);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(std::wstring(small), path.substr(0, 5));

  EXPECT_EQ(GetModuleHandleW(L"Mscoree.dll"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
  HMODULE libc = GetModuleHandleW(L"libc.so.6");
  ASSERT_NE(libc, nullptr);
  ASSERT_GT(GetModuleFileNameW(libc, buffer, 4096), 0u);
  EXPECT_NE(std::wstring(buffer).find(L"libc"), std::wstring::npos);
}

TEST(Process, DISABLED_ExitProcessChild) {
  if (!Talvaro::Testing::IsChild()) GTEST_SKIP();
  std::fputs("flushed", stdout);  // a pipe: fully buffered until ExitProcess flushes it
  ExitProcess(7);
}

TEST(Process, ExitProcessFlushesAndEndsWithTheCode) {
  std::string output;
  const int status = RunChildCase("Process.DISABLED_ExitProcessChild", &output);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 7);
  EXPECT_NE(output.find("flushed"), std::string::npos);
  EXPECT_EQ(output.find("[       OK ]"), std::string::npos);  // nothing ran after it
}

TEST(CharCase, StringsInPlaceAndSingleCharacters) {
  wchar_t text[] = L"debug \u00e4\u00df1";
  EXPECT_EQ(CharUpperW(text), text);
  EXPECT_EQ(std::wstring(text), L"DEBUG \u00c4\u00df1");  // no one-character upper case of sharp s
  const auto upper = [](wchar_t c) {
    return static_cast<wchar_t>(reinterpret_cast<std::uintptr_t>(CharUpperW(reinterpret_cast<LPWSTR>(static_cast<std::uintptr_t>(c)))));
  };
  EXPECT_EQ(upper(L'a'), L'A');
  EXPECT_EQ(upper(L'\u00e9'), L'\u00c9');
  EXPECT_EQ(upper(L'/'), L'/');
}

TEST(MessageBox, WritesCaptionAndTextToStandardError) {
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(MessageBoxW(nullptr, L"Could not\topen", L"Caption", MB_OK | MB_ICONERROR), IDOK);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Caption\nCould not\topen\n");
  EXPECT_EQ(MessageBoxW(nullptr, L"Sure?", L"Caption", 0x4 /* yes/no */), 0);
  EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
}

// Console control: the handlers run on a thread of their own, newest first.
struct Controls {
  std::mutex lock;
  std::condition_variable arrived;
  std::vector<std::pair<char, DWORD>> calls;  // which handler, which control
  std::thread::id thread;
  bool Wait(std::size_t count) {
    std::unique_lock guard(lock);
    return arrived.wait_for(guard, 30s, [&] { return calls.size() >= count; });
  }
} controls;

BOOL Record(char which, DWORD type, BOOL handled) {
  std::lock_guard guard(controls.lock);
  controls.calls.emplace_back(which, type);
  controls.thread = std::this_thread::get_id();
  controls.arrived.notify_all();
  return handled;
}
BOOL FirstHandler(DWORD type) { return Record('1', type, TRUE); }
BOOL SecondHandler(DWORD type) { return Record('2', type, type == CTRL_BREAK_EVENT); }

TEST(Console, CtrlCAndCtrlBreakReachTheHandlersNewestFirst) {
  EXPECT_TRUE(AllocConsole());
  ASSERT_TRUE(SetConsoleCtrlHandler(FirstHandler, TRUE));
  ASSERT_TRUE(SetConsoleCtrlHandler(SecondHandler, TRUE));
  ::kill(::getpid(), SIGINT);  // the second passes it on, the first handles it
  ASSERT_TRUE(controls.Wait(2));
  ::kill(::getpid(), SIGQUIT);  // the second handles it
  ASSERT_TRUE(controls.Wait(3));
  {
    std::lock_guard guard(controls.lock);
    EXPECT_EQ(controls.calls, (std::vector<std::pair<char, DWORD>>{
                                  {'2', CTRL_C_EVENT}, {'1', CTRL_C_EVENT}, {'2', CTRL_BREAK_EVENT}}));
    EXPECT_NE(controls.thread, std::this_thread::get_id());
  }
  EXPECT_TRUE(SetConsoleCtrlHandler(SecondHandler, FALSE));
  EXPECT_FALSE(SetConsoleCtrlHandler(SecondHandler, FALSE));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_TRUE(SetConsoleCtrlHandler(FirstHandler, FALSE));
}

BOOL Decline(DWORD) { return FALSE; }

TEST(Console, DISABLED_UnhandledCtrlCChild) {
  if (!Talvaro::Testing::IsChild()) GTEST_SKIP();
  SetConsoleCtrlHandler(nullptr, TRUE);  // Ctrl-C ignored
  SetConsoleCtrlHandler(Decline, TRUE);
  ::kill(::getpid(), SIGINT);
  std::fputs("survived Ctrl-C\n", stdout);
  std::fflush(stdout);
  ::kill(::getpid(), SIGQUIT);  // Ctrl-Break has no such default: the process ends by it
  std::this_thread::sleep_for(60s);
}

TEST(Console, UnhandledControlsTakeTheDefaultAction) {
  std::string output;
  const int status = RunChildCase("Console.DISABLED_UnhandledCtrlCChild", &output);
  EXPECT_NE(output.find("survived Ctrl-C"), std::string::npos) << output;
  ASSERT_TRUE(WIFSIGNALED(status)) << status;
  EXPECT_EQ(WTERMSIG(status), SIGQUIT);
}

TEST(Security, SetOnceAfterJoiningTheApartment) {
  EXPECT_EQ(CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_NONE, RPC_C_IMP_LEVEL_IMPERSONATE,
                                 nullptr, EOAC_NONE, nullptr),
            CO_E_NOTINITIALIZED);
  ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
  int reserved = 0;
  EXPECT_EQ(CoInitializeSecurity(nullptr, -1, nullptr, &reserved, RPC_C_AUTHN_LEVEL_NONE, RPC_C_IMP_LEVEL_IMPERSONATE,
                                 nullptr, EOAC_NONE, nullptr),
            E_INVALIDARG);
  EXPECT_EQ(CoInitializeSecurity(nullptr, -1, nullptr, nullptr, 7, RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE,
                                 nullptr),
            E_INVALIDARG);
  EXPECT_FALSE(platform::com::CurrentProcessSecurity());
  EXPECT_EQ(CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_NONE, RPC_C_IMP_LEVEL_IMPERSONATE,
                                 nullptr, EOAC_NONE, nullptr),
            S_OK);
  EXPECT_EQ(CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_PKT_PRIVACY,
                                 RPC_C_IMP_LEVEL_IDENTIFY, nullptr, EOAC_NONE, nullptr),
            RPC_E_TOO_LATE);
  const auto security = platform::com::CurrentProcessSecurity();
  ASSERT_TRUE(security);
  EXPECT_EQ(security->authnLevel, RPC_C_AUTHN_LEVEL_NONE);
  EXPECT_EQ(security->impLevel, RPC_C_IMP_LEVEL_IMPERSONATE);
  CoUninitialize();
}

}  // namespace
}  // namespace service_test
