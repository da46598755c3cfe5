#include "tests/support/environment/isolated_environment.h"

#include <cstdlib>
#include <stdexcept>
#include <string>
#include <system_error>

namespace Talvaro::Testing {

IsolatedEnvironment::IsolatedEnvironment() {
  std::string pattern = (std::filesystem::temp_directory_path() / "talvaro-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  root_ = pattern;
  ::setenv("TALVARO_REGISTRY", Registry().c_str(), 1);
  ::setenv("TALVARO_RUN_DIR", RunDirectory().c_str(), 1);
  ::setenv("TALVARO_LOG_DIR", LogDirectory().c_str(), 1);
  ::setenv("TALVARO_EVENT_LOG", EventLog().c_str(), 1);
  ::setenv("TALVARO_UNIT_DIR", UnitDirectory().c_str(), 1);
  // Kept when inherited: a test's child processes share its shared-memory objects.
  ::setenv("TALVARO_SHM_SCOPE", root_.filename().c_str(), 0);
}

IsolatedEnvironment::~IsolatedEnvironment() {
  std::error_code ignored;
  std::filesystem::remove_all(root_, ignored);
}

}  // namespace Talvaro::Testing
