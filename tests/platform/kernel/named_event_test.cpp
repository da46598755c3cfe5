// Named events as the single-instance guard: the lock file in the runtime directory, within
// one process and across processes.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "platform/kernel/synch.h"
#include "platform/system/last_error.h"
#include "tests/support/environment/isolated_environment.h"
#include "tests/support/process/child_case.h"

namespace {

namespace fs = std::filesystem;
namespace testing_support = Talvaro::Testing;

constexpr const wchar_t* kGuardName = L"Global\\TalvaroKernelTestIsRunning";

// Each test gets a runtime directory of its own whose parents do not exist yet either, so that
// their creation is exercised too.
class NamedEvents : public ::testing::Test {
 protected:
  void SetUp() override { ::setenv("TALVARO_RUN_DIR", runDir_.c_str(), 1); }
  static HANDLE CreateNamed(const wchar_t* name, DWORD& lastError) {
    SetLastError(0xDEAD);
    const HANDLE handle = CreateEventW(nullptr, FALSE, FALSE, name);
    lastError = GetLastError();
    return handle;
  }

  testing_support::IsolatedEnvironment environment_;
  const fs::path runDir_ = environment_.RunDirectory() / "talvaro";
};

mode_t ModeOf(const fs::path& path) {
  struct stat status {};
  ::stat(path.c_str(), &status);
  return status.st_mode & 07777;
}

TEST_F(NamedEvents, OneNameIsOneEventAndOneClaimWithinTheProcess) {
  const mode_t oldMask = ::umask(077);  // modes must not depend on the umask
  DWORD error = 0;
  const HANDLE first = CreateNamed(kGuardName, error);
  ::umask(oldMask);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(error, ERROR_SUCCESS);
  const fs::path lockFile = runDir_ / "TalvaroKernelTestIsRunning.lock";
  ASSERT_TRUE(fs::exists(lockFile));
  EXPECT_EQ(ModeOf(lockFile), 0666u);
  EXPECT_EQ(ModeOf(runDir_), 0755u);
  EXPECT_EQ(ModeOf(runDir_.parent_path()), 0755u);

  // "Local\", "Global\" and no prefix name the same claim.
  const HANDLE second = CreateNamed(L"TalvaroKernelTestIsRunning", error);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(error, ERROR_ALREADY_EXISTS);
  EXPECT_NE(second, first);
  // Both handles name one event.
  ASSERT_TRUE(SetEvent(second));
  EXPECT_EQ(WaitForSingleObject(first, 0), WAIT_OBJECT_0);

  // The claim lasts until the last handle goes.
  EXPECT_TRUE(CloseHandle(first));
  const HANDLE third = CreateNamed(L"Local\\TalvaroKernelTestIsRunning", error);
  EXPECT_EQ(error, ERROR_ALREADY_EXISTS);
  EXPECT_TRUE(CloseHandle(third));
  EXPECT_TRUE(CloseHandle(second));

  const HANDLE again = CreateNamed(kGuardName, error);
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(error, ERROR_SUCCESS);
  EXPECT_TRUE(CloseHandle(again));

  // Unnamed events never collide and report no error.
  const HANDLE unnamed = CreateNamed(nullptr, error);
  EXPECT_EQ(error, ERROR_SUCCESS);
  EXPECT_TRUE(CloseHandle(unnamed));
}

TEST_F(NamedEvents, RefusesNamesThatNameNoFileAndUnusableDirectories) {
  DWORD error = 0;
  EXPECT_EQ(CreateNamed(L"Global\\a/b", error), nullptr);
  EXPECT_EQ(error, ERROR_BAD_PATHNAME);
  EXPECT_EQ(CreateNamed(L"Global\\..", error), nullptr);
  EXPECT_EQ(CreateNamed(L"Global\\", error), nullptr);
  EXPECT_EQ(error, ERROR_BAD_PATHNAME);

  const fs::path file = environment_.Root() / "plain-file";
  std::ofstream(file) << "x";
  ::setenv("TALVARO_RUN_DIR", (file / "run").c_str(), 1);
  EXPECT_EQ(CreateNamed(kGuardName, error), nullptr);
  EXPECT_EQ(error, ERROR_PATH_NOT_FOUND);
}

// Runs in the child process that NamedEvents.TheClaimCrossesProcesses starts: takes the guard,
// reports 'L' (lock taken) or 'E' (already exists), and keeps it until released or killed.
TEST(NamedEventChild, DISABLED_HoldGuard) {
  if (!testing_support::IsChild()) {
    GTEST_SKIP() << "runs only as a child of NamedEvents.TheClaimCrossesProcesses";
  }
  const HANDLE guard = CreateEventW(nullptr, FALSE, FALSE, kGuardName);
  testing_support::Report(guard == nullptr ? 'F' : GetLastError() == ERROR_ALREADY_EXISTS ? 'E' : 'L');
  testing_support::WaitForRelease();
}

TEST_F(NamedEvents, TheClaimCrossesProcessesAndEndsWithItsProcess) {
  // The child holds the guard: this process sees it as existing, yet gets a usable handle.
  {
    testing_support::ChildCase child("NamedEventChild.DISABLED_HoldGuard");
    ASSERT_TRUE(child.started());
    ASSERT_EQ(child.ReadReport(), 'L');

    DWORD error = 0;
    const HANDLE second = CreateNamed(kGuardName, error);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(error, ERROR_ALREADY_EXISTS);
    EXPECT_TRUE(CloseHandle(second));
    child.Kill();  // dies without closing anything
    child.Wait();
  }
  DWORD error = 0;
  const HANDLE mine = CreateNamed(kGuardName, error);
  ASSERT_NE(mine, nullptr);
  EXPECT_EQ(error, ERROR_SUCCESS) << "the dead child's claim must be gone";

  // And the other way round: a program started while this process holds the guard sees it
  // held, and does not inherit the claim.
  testing_support::ChildCase child("NamedEventChild.DISABLED_HoldGuard");
  ASSERT_TRUE(child.started());
  EXPECT_EQ(child.ReadReport(), 'E');
  EXPECT_TRUE(CloseHandle(mine));
  const HANDLE again = CreateNamed(kGuardName, error);
  EXPECT_EQ(error, ERROR_SUCCESS) << "the claim leaked into the child";
  EXPECT_TRUE(CloseHandle(again));
  child.Release();
  const int status = child.Wait();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
