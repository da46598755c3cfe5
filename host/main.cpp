// The executable's entry: the module exists from before the entry runs until after it returns.
#include "host/command_line.h"
#include "host/module.h"
#include "platform/system/process.h"

int main() {
  Talvaro::Host::CTalvaroCommunicationDriverModule module;
  return Talvaro::Host::ProcessExitStatus(module.WinMain(SW_SHOWDEFAULT));
}
