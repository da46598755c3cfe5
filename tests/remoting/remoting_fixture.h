// Shared set-up of the remoting tests: each test gets a run directory of its own (so its servers'
// endpoints are its own) inside the process's isolated environment, and joins the
// multithreaded apartment.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/com/apartment.h"
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

 private:
  std::string runDirectory_;
};

}  // namespace Talvaro::RemotingTest
