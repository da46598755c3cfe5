// Shared set-up of the remoting tests: each test gets a run directory of its own (so its servers'
// endpoints are its own) inside the process's isolated environment, and joins the
// multithreaded apartment. What a test starts ends with it: servers that published in its run
// directory (launched through LocalServer32 too, which are not our children) are killed at its
// end, whether it passed or not, and a sanitizer report of any child process fails it.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "interfaces/communication_driver.h"
#include "interfaces/driver_factory.h"
#include "platform/com/apartment.h"
#include "platform/com/connection_interfaces.h"
#include "platform/com/class_table.h"
#include "platform/com/com_ptr.h"
#include "tests/remoting/child_process.h"

namespace Talvaro::RemotingTest {

class RemotingFixture : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Starts remoting_test_peer serving the test classes (and with `real` the server's four);
  // returns once it serves.
  std::unique_ptr<ChildProcess> StartPeer(bool real = false);

  template <class I>
  HRESULT Create(REFCLSID clsid, platform::com::ComPtr<I>* object) {
    return CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, uuidof<I>, object->PutVoid());
  }

  const std::string& RunDirectory() const { return runDirectory_; }
  // Kills `pid` (and its process group) at the end of the test, as a published server would be.
  void KillAtEnd(pid_t pid) { killAtEnd_.push_back(pid); }

 private:
  // The pids in the class files of this test's run directory, and those given to KillAtEnd.
  void KillServers();
  // Fails the test for each sanitizer report that a child process wrote.
  void CheckSanitizerReports();

  std::string runDirectory_;
  std::string sanitizerDirectory_;
  std::vector<pid_t> killAtEnd_;
};

// String values under HKEY_CLASSES_ROOT for the scope of a test, each as {key, value name ("" for
// the default value), text}; the tree of each key's first two levels goes at the end.
class ClassesRootValues {
 public:
  struct Value {
    std::wstring key;
    std::wstring name;
    std::string text;
  };
  explicit ClassesRootValues(const std::vector<Value>& values);
  ~ClassesRootValues();
  ClassesRootValues(const ClassesRootValues&) = delete;
  ClassesRootValues& operator=(const ClassesRootValues&) = delete;

 private:
  std::vector<std::wstring> trees_;
};

// A class registered as a local server (CLSID\{clsid}\LocalServer32 = `commandLine`).
struct LocalServerRegistration : ClassesRootValues {
  LocalServerRegistration(REFCLSID clsid, const std::string& commandLine);
};

// `program` as LocalServer32 writes it: in double quotes.
std::string Quoted(const std::string& program);

// With the real server: registered with /RegServer in SetUp; StartServer runs it as a local
// server with a log directory and event log of the test's own.
class ServerFixture : public RemotingFixture {
 protected:
  void SetUp() override;

  // Starts the server (through `launcher`, a command that execs the rest, when given) and waits
  // until it publishes the driver factory.
  void StartServer(const std::vector<std::string>& launcher = {});
  // The server's environment beside ours: the test's log directory and event log.
  std::vector<std::string> ServerEnvironment() const;
  std::string ServerLogPath() const;
  std::string ServerLog() const;
  bool LogShows(const std::string& text) const;

  // The server's driver factory, a driver object of it for `unit`, a generic command.
  platform::com::ComPtr<ITalvaroCommunicationDriverFactory> Factory();
  platform::com::ComPtr<ICommunicationDriver> Driver(ITalvaroCommunicationDriverFactory* factory, const wchar_t* unit);
  HRESULT Command(const wchar_t* text);
  // Asks the simulator for its writes until the log shows `line`.
  bool SimulatorRecorded(const std::string& line);
  // Subscribes `sink` to `driver`'s events; the connection point, null when that failed.
  platform::com::ComPtr<IConnectionPoint> Subscribe(ICommunicationDriver* driver, IUnknown* sink);
  // The subscribers a connection point lists.
  std::size_t Subscribers(IConnectionPoint* point);

  std::unique_ptr<ChildProcess> server_;

 private:
  std::string logDirectory_;
  std::string eventLog_;
};

}  // namespace Talvaro::RemotingTest
