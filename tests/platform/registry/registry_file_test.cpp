// The registry file: when it is made, which file a call uses, damaged and foreign files, file
// permissions, several processes and threads at once, and Transaction.
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/registry/registry_transaction.h"
#include "tests/platform/registry/registry_fixture.h"

namespace registry_test {
namespace {

using platform::registry::Transaction;
using RegistryFile = RegistryTest;

void WriteFile(const std::filesystem::path& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

TEST_F(RegistryFile, MissingAndEmptyFilesAreAnEmptyRegistryUntilTheFirstWrite) {
  UseFile(dir_ / "deeper" / "still" / "registry.db");
  Key key;
  EXPECT_EQ(Open(HKEY_LOCAL_MACHINE, L"SOFTWARE", KEY_READ, key), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Open(HKEY_LOCAL_MACHINE, nullptr, KEY_READ, key), ERROR_SUCCESS);
  EXPECT_EQ(Query(HKEY_LOCAL_MACHINE, L"v"), ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(SubkeyNames(HKEY_LOCAL_MACHINE).empty());
  EXPECT_EQ(RegDeleteValueW(HKEY_LOCAL_MACHINE, L"v"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"SOFTWARE"), ERROR_FILE_NOT_FOUND);
  { Transaction reading(Transaction::Mode::kRead); }
  EXPECT_FALSE(std::filesystem::exists(dir_ / "deeper"));

  // The first write makes the directories and the file.
  Key created(Create(L"SOFTWARE\\First"));
  EXPECT_TRUE(std::filesystem::exists(path_));

  // An empty file is an empty registry too, and no read turns it into a database.
  UseFile(dir_ / "empty.db");
  WriteFile(path_, "");
  EXPECT_EQ(Open(HKEY_LOCAL_MACHINE, L"SOFTWARE", KEY_READ, key), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(std::filesystem::file_size(path_), 0u);
  Key now(Create(L"SOFTWARE\\Now"));
  EXPECT_GT(std::filesystem::file_size(path_), 0u);
}

TEST_F(RegistryFile, EachOpenFollowsTheEnvironmentAndHandlesStayWithTheirFile) {
  Key first(Create(L"SOFTWARE\\Which"));
  ASSERT_EQ(SetDword(first.get(), L"file", 1), ERROR_SUCCESS);

  const auto second = dir_ / "second.db";
  setenv("TALVARO_REGISTRY", second.c_str(), 1);
  Key other;
  EXPECT_EQ(Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Which", KEY_READ, other), ERROR_FILE_NOT_FOUND);
  ASSERT_EQ(SetDword(first.get(), L"still", 1), ERROR_SUCCESS);  // the open handle keeps its file
  EXPECT_FALSE(std::filesystem::exists(second));

  setenv("TALVARO_REGISTRY", path_.c_str(), 1);
  ASSERT_EQ(Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Which", KEY_READ, other), ERROR_SUCCESS);
  EXPECT_EQ(Query(other.get(), L"still"), ERROR_SUCCESS);
}

TEST_F(RegistryFile, AFileReplacedUnderneathIsSeenAfresh) {
  Key key(Create(L"SOFTWARE\\Before"));
  ASSERT_EQ(SetDword(key.get(), L"v", 1), ERROR_SUCCESS);
  std::filesystem::remove(path_);
  Key probe;
  EXPECT_EQ(Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Before", KEY_READ, probe), ERROR_FILE_NOT_FOUND);
  Key after(Create(L"SOFTWARE\\After"));
  EXPECT_EQ(SubkeyNames(Key(Create(L"SOFTWARE")).get()), std::vector<std::wstring>{L"After"});
  EXPECT_EQ(SetDword(key.get(), L"v", 2), ERROR_KEY_DELETED);
}

TEST_F(RegistryFile, DamagedOrForeignFilesGiveBadDbFromEveryCall) {
  const std::string garbage(8192, '\x5A');
  auto expectBadDb = [this] {
    Key key;
    EXPECT_EQ(Open(HKEY_LOCAL_MACHINE, L"SOFTWARE", KEY_READ, key), ERROR_BADDB);
    EXPECT_EQ(Open(HKEY_LOCAL_MACHINE, nullptr, KEY_READ, key), ERROR_BADDB);
    EXPECT_EQ(CreateUnder(HKEY_LOCAL_MACHINE, L"SOFTWARE\\X", key), ERROR_BADDB);
    EXPECT_EQ(SetDword(HKEY_LOCAL_MACHINE, L"v", 1), ERROR_BADDB);
    EXPECT_EQ(Query(HKEY_LOCAL_MACHINE, L"v"), ERROR_BADDB);
    EXPECT_EQ(EnumKey(HKEY_LOCAL_MACHINE, 0), ERROR_BADDB);
    EXPECT_EQ(RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE"), ERROR_BADDB);
    EXPECT_EQ(Transaction(Transaction::Mode::kWrite).status(), ERROR_BADDB);
  };

  WriteFile(path_, garbage);
  expectBadDb();
  std::ifstream in(path_, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), garbage);  // left untouched

  // A sound SQLite database that is not a registry.
  UseFile(dir_ / "foreign.db");
  sqlite3* foreign = nullptr;
  ASSERT_EQ(sqlite3_open(path_.c_str(), &foreign), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(foreign, "CREATE TABLE keys(x); INSERT INTO keys VALUES(1);", nullptr,
                         nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(foreign);
  expectBadDb();

  // A registry whose pages were overwritten after its header.
  UseFile(dir_ / "damaged.db");
  ASSERT_EQ(SetDword(Key(Create(L"SOFTWARE\\Damaged")).get(), L"v", 1), ERROR_SUCCESS);
  {
    std::fstream file(path_, std::ios::binary | std::ios::in | std::ios::out);
    file.seekp(100);
    file << std::string(8000, '\xFF');
  }
  // The process still has the file open; a fresh process meets the damage the same way.
  EXPECT_EQ(RunInChild([this] {
              Key key;
              return FirstMismatch(
                  {{Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Damaged", KEY_READ, key), ERROR_BADDB},
                   {SetDword(HKEY_LOCAL_MACHINE, L"v", 1), ERROR_BADDB}});
            }),
            0);
}

TEST_F(RegistryFile, WithoutWriteAccessToTheFileWritesAreDenied) {
  ASSERT_EQ(SetDword(Key(Create(L"SOFTWARE\\Locked")).get(), L"v", 5), ERROR_SUCCESS);
  ASSERT_EQ(chmod(path_.c_str(), 0444), 0);
  EXPECT_EQ(RunInChild(
                [this] {
                  Key reader, writer;
                  return FirstMismatch({
                      {Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Locked", KEY_READ, reader), ERROR_SUCCESS},
                      {Query(reader.get(), L"v"), ERROR_SUCCESS},
                      // Like a non-elevated process asking HKLM for write access.
                      {Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Locked", KEY_ALL_ACCESS, writer),
                       ERROR_ACCESS_DENIED},
                      {Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Missing", KEY_ALL_ACCESS, writer),
                       ERROR_FILE_NOT_FOUND},
                      {SetDword(HKEY_LOCAL_MACHINE, L"v", 1), ERROR_ACCESS_DENIED},
                      {CreateUnder(HKEY_LOCAL_MACHINE, L"SOFTWARE\\New", writer, KEY_READ),
                       ERROR_ACCESS_DENIED},
                      {RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE"), ERROR_ACCESS_DENIED},
                      // Asking for the most that is allowed gives a reading handle.
                      {Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Locked", 0x02000000, writer),
                       ERROR_SUCCESS},
                      {SetDword(writer.get(), L"v", 1), ERROR_ACCESS_DENIED},
                      {Transaction(Transaction::Mode::kWrite).status(), ERROR_ACCESS_DENIED},
                  });
                },
                /*unprivileged=*/true),
            0);
}

TEST_F(RegistryFile, UnreadableFilesAndUnwritableDirectoriesAreDenied) {
  ASSERT_NE(Key(Create(L"SOFTWARE\\Secret")).get(), nullptr);
  ASSERT_EQ(chmod(path_.c_str(), 0), 0);
  const auto lockedDir = dir_ / "locked";
  std::filesystem::create_directory(lockedDir);
  ASSERT_EQ(chmod(lockedDir.c_str(), 0555), 0);
  EXPECT_EQ(RunInChild(
                [&] {
                  Key key;
                  const LSTATUS unreadable =
                      Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Secret", KEY_READ, key);
                  // A file that cannot be made where it belongs: reads see it empty, writes fail.
                  UseFile(lockedDir / "sub" / "registry.db");
                  return FirstMismatch({
                      {unreadable, ERROR_ACCESS_DENIED},
                      {Open(HKEY_LOCAL_MACHINE, L"SOFTWARE", KEY_READ, key), ERROR_FILE_NOT_FOUND},
                      {CreateUnder(HKEY_LOCAL_MACHINE, L"SOFTWARE", key, KEY_READ),
                       ERROR_ACCESS_DENIED},
                  });
                },
                /*unprivileged=*/true),
            0);
}

// Two processes write into one key at once; every write of both is there afterwards.
TEST_F(RegistryFile, TwoProcessesWritingAtOnceLoseNothing) {
  Key shared(Create(L"SOFTWARE\\Shared"));
  constexpr int kWrites = 60;
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  auto writer = [&](const wchar_t* prefix) {
    char go = 0;
    if (read(ready[0], &go, 1) != 1) return 90;
    for (DWORD i = 0; i < kWrites; ++i) {
      const std::wstring name = prefix + std::to_wstring(i);
      Key key, parent;
      const int failed = FirstMismatch({
          {CreateUnder(HKEY_LOCAL_MACHINE, (L"SOFTWARE\\Shared\\" + name).c_str(), key),
           ERROR_SUCCESS},
          {SetDword(key.get(), L"i", i), ERROR_SUCCESS},
          {Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Shared", KEY_SET_VALUE, parent), ERROR_SUCCESS},
          {SetDword(parent.get(), name.c_str(), i), ERROR_SUCCESS},
      });
      if (failed != 0) return failed;
    }
    return 0;
  };
  std::vector<pid_t> children;
  for (const wchar_t* prefix : {L"a", L"b"}) {
    children.push_back(Spawn([&, prefix] { return writer(prefix); }));
  }
  ASSERT_EQ(write(ready[1], "gg", 2), 2);  // both start together
  for (pid_t pid : children) EXPECT_EQ(Reap(pid), 0);
  close(ready[0]);
  close(ready[1]);

  EXPECT_EQ(SubkeyNames(shared.get()).size(), 2u * kWrites);
  for (const wchar_t* prefix : {L"a", L"b"}) {
    for (int i = 0; i < kWrites; ++i) {
      const std::wstring name = prefix + std::to_wstring(i);
      ASSERT_EQ(Query(shared.get(), name.c_str()), ERROR_SUCCESS) << i;
      Key sub;
      ASSERT_EQ(Open(shared.get(), name.c_str(), KEY_READ, sub), ERROR_SUCCESS);
      ASSERT_EQ(Query(sub.get(), L"i"), ERROR_SUCCESS);
    }
  }
}

// Threads of one process share a connection; the handle table and the connection lock keep
// them apart (run under ThreadSanitizer too).
TEST_F(RegistryFile, ThreadsShareTheRegistrySafely) {
  Key root(Create(L"SOFTWARE\\Threads"));
  constexpr int kThreads = 4, kRounds = 24;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRounds; ++i) {
        const std::wstring name = L"t" + std::to_wstring(t) + L"_" + std::to_wstring(i);
        Key key;
        if (CreateUnder(root.get(), name.c_str(), key) != ERROR_SUCCESS ||
            SetDword(key.get(), L"v", static_cast<DWORD>(i)) != ERROR_SUCCESS ||
            SetDword(root.get(), name.c_str(), static_cast<DWORD>(i)) != ERROR_SUCCESS ||
            Query(root.get(), name.c_str()) != ERROR_SUCCESS) {
          ++failures;
        }
        if (i % 3 == 0 && RegDeleteKeyW(root.get(), name.c_str()) != ERROR_SUCCESS) ++failures;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(SubkeyNames(root.get()).size(), static_cast<std::size_t>(kThreads * kRounds * 2 / 3));
}

TEST_F(RegistryFile, TransactionsApplyAllOrNothing) {
  Key base(Create(L"SOFTWARE\\Tx"));
  {
    Transaction transaction(Transaction::Mode::kWrite);
    ASSERT_EQ(transaction.status(), ERROR_SUCCESS);
    Key key(Create(L"SOFTWARE\\Tx\\Dropped"));
    ASSERT_EQ(SetDword(key.get(), L"v", 1), ERROR_SUCCESS);
    // Another process still sees the state before the transaction.
    EXPECT_EQ(RunInChild([] {
                Key probe;
                return FirstMismatch({{Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Tx\\Dropped", KEY_READ,
                                            probe),
                                       ERROR_FILE_NOT_FOUND}});
              }),
              0);
  }  // not committed
  EXPECT_TRUE(SubkeyNames(base.get()).empty());

  {
    Transaction transaction(Transaction::Mode::kWrite);
    ASSERT_EQ(transaction.status(), ERROR_SUCCESS);
    Key key(Create(L"SOFTWARE\\Tx\\Kept"));
    ASSERT_EQ(SetDword(key.get(), L"v", 1), ERROR_SUCCESS);
    // A failing call inside undoes only itself.
    EXPECT_EQ(RegDeleteKeyW(base.get(), L"Missing"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(SetBytes(key.get(), L"odd", REG_SZ, L"x", 3), ERROR_INVALID_PARAMETER);
    ASSERT_EQ(transaction.Commit(), ERROR_SUCCESS);
  }
  EXPECT_EQ(SubkeyNames(base.get()), std::vector<std::wstring>{L"Kept"});

  Transaction reading(Transaction::Mode::kRead);
  ASSERT_EQ(reading.status(), ERROR_SUCCESS);
  EXPECT_EQ(SubkeyNames(base.get()), std::vector<std::wstring>{L"Kept"});
  EXPECT_EQ(SetDword(base.get(), L"v", 1), ERROR_INVALID_FUNCTION);
}

}  // namespace
}  // namespace registry_test
