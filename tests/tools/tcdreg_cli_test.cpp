// The built tcdreg executable end to end: exit codes, help, usage errors, stdin handling, and a
// damaged database, with the registry file passed through TALVARO_REGISTRY.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "tests/platform/registry/registry_fixture.h"

namespace tcdreg {
namespace {

struct Outcome {
  int status = -1;  // exit code, or 128 + signal
  std::string out;
  std::string err;
};

std::string ReadAll(int fd) {
  std::string text;
  char buffer[4096];
  for (;;) {
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got <= 0) break;
    text.append(buffer, static_cast<std::size_t>(got));
  }
  return text;
}

// Runs the binary with `args`; `input` goes to its stdin, which is then closed.
Outcome RunBinary(const std::vector<std::string>& args, const std::string& input = "") {
  int in[2], out[2], err[2];
  EXPECT_EQ(pipe(in), 0);
  EXPECT_EQ(pipe(out), 0);
  EXPECT_EQ(pipe(err), 0);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) close(fd);
    std::vector<char*> argv{const_cast<char*>(TCDREG_BINARY)};
    for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execv(TCDREG_BINARY, argv.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  if (!input.empty()) {
    EXPECT_EQ(write(in[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
  }
  close(in[1]);
  Outcome outcome;
  outcome.out = ReadAll(out[0]);  // small outputs: neither pipe fills while the other drains
  outcome.err = ReadAll(err[0]);
  close(out[0]);
  close(err[0]);
  int status = 0;
  EXPECT_EQ(waitpid(pid, &status, 0), pid);
  outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return outcome;
}

using TcdregBinary = registry_test::RegistryTest;

TEST_F(TcdregBinary, HelpForTheToolAndEachOperation) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"--help"}, {"/?"}, {"-h"}}) {
    const Outcome outcome = RunBinary(args);
    EXPECT_EQ(outcome.status, 0);
    EXPECT_NE(outcome.out.find("SYNOPSIS"), std::string::npos);
    EXPECT_NE(outcome.out.find("TALVARO_REGISTRY"), std::string::npos);
    EXPECT_TRUE(outcome.err.empty());
  }
  for (const char* operation : {"query", "add", "delete", "export", "import"}) {
    const Outcome outcome = RunBinary({operation, "/?"});
    EXPECT_EQ(outcome.status, 0) << operation;
    EXPECT_NE(outcome.out.find(std::string("tcdreg ") + operation + " "), std::string::npos);
    EXPECT_NE(outcome.out.find("EXIT STATUS"), std::string::npos);
  }
  EXPECT_NE(RunBinary({"add", "--help"}).out.find("/t <type>"), std::string::npos);
}

TEST_F(TcdregBinary, UsageErrorsExitWithTwo) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {},
           {"frobnicate"},
           {"query"},
           {"query", "HKCU\\Software"},
           {"add", "HKLM\\X", "/t", "REG_WHATEVER"},
           {"add", "HKLM\\X", "/v", "n", "/t", "REG_DWORD", "/d", "twelve"},
           {"delete", "HKLM\\X", "/q"},
       }) {
    const Outcome outcome = RunBinary(args);
    EXPECT_EQ(outcome.status, 2) << (args.empty() ? "" : args[0]);
    EXPECT_EQ(outcome.err.rfind("ERROR: ", 0), 0u) << outcome.err;
    EXPECT_NE(outcome.err.find("for usage."), std::string::npos);
  }
  EXPECT_FALSE(std::filesystem::exists(path_));  // nothing touched the registry
}

TEST_F(TcdregBinary, FailuresExitWithOneAndTheSystemText) {
  Outcome outcome = RunBinary({"query", "HKLM\\SOFTWARE\\Absent"});
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.err,
            "ERROR: The system was unable to find the specified registry key or value.\n");
  EXPECT_TRUE(outcome.out.empty());

  // A damaged database is reported, not crashed on.
  std::ofstream(path_, std::ios::binary) << std::string(4096, '\x13');
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"query", "HKLM\\SOFTWARE"},
           {"add", "HKLM\\SOFTWARE\\X", "/v", "a", "/d", "b", "/f"},
           {"export", "HKLM", (dir_ / "out.reg").string()},
       }) {
    outcome = RunBinary(args);
    EXPECT_EQ(outcome.status, 1) << args[0];
    EXPECT_EQ(outcome.err, "ERROR: The configuration registry database is corrupt.\n") << args[0];
  }
}

TEST_F(TcdregBinary, ChangesReachTheFileInTheEnvironmentAndClosedInputDeclines) {
  Outcome outcome = RunBinary({"add", "HKLM\\SOFTWARE\\Cli", "/v", "n", "/t", "REG_DWORD", "/d", "7"});
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_EQ(outcome.out, "The operation completed successfully.\n");
  registry_test::Key key;
  ASSERT_EQ(Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Cli", KEY_READ, key), ERROR_SUCCESS);
  std::string bytes;
  ASSERT_EQ(Get(key.get(), L"n", &bytes), ERROR_SUCCESS);
  EXPECT_EQ(bytes, std::string("\x07\0\0\0", 4));

  outcome = RunBinary({"delete", "HKLM\\SOFTWARE\\Cli"});  // stdin closed at once
  EXPECT_EQ(outcome.status, 0);
  EXPECT_NE(outcome.out.find("(Yes/No)?"), std::string::npos);
  EXPECT_EQ(Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Cli", KEY_READ, key), ERROR_SUCCESS);
  outcome = RunBinary({"delete", "HKLM\\SOFTWARE\\Cli"}, "yes\n");
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Cli", KEY_READ, key), ERROR_FILE_NOT_FOUND);
}

}  // namespace
}  // namespace tcdreg
