#include "platform/com/module.h"

#include <atomic>

#include "platform/com/server_process.h"

namespace platform::com {
namespace {

class ProcessModule final : public ServerModule {
 public:
  LONG Lock() override { return static_cast<LONG>(CoAddRefServerProcess()); }
  LONG Unlock() override { return static_cast<LONG>(CoReleaseServerProcess()); }
  LONG GetLockCount() override { return static_cast<LONG>(ServerProcessCount()); }
};

ProcessModule processModule;
std::atomic<ServerModule*> currentModule{&processModule};

}  // namespace

ServerModule& CurrentModule() { return *currentModule.load(std::memory_order_acquire); }

void SetCurrentModule(ServerModule* module) {
  currentModule.store(module != nullptr ? module : &processModule, std::memory_order_release);
}

}  // namespace platform::com
