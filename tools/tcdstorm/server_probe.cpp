#include "tools/tcdstorm/server_probe.h"

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/automation/bstr.h"
#include "platform/automation/safearray.h"
#include "platform/com/class_table.h"
#include "platform/remoting/remoting.h"

namespace tcdstorm {
namespace {

std::size_t CountEntries(const std::string& directory) {
  std::size_t count = 0;
  std::error_code ignored;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(directory, ignored)) ++count;
  return count;
}

std::optional<std::size_t> ResidentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stoul(line.substr(6));
  }
  return std::nullopt;
}

std::size_t Occurrences(const std::string& text, const std::string& what) {
  std::size_t count = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++count;
  return count;
}

// The drivers of every unit in the last "list" output of the log: "... Drivers=<n> ...".
std::optional<std::size_t> DriversInLastListing(const std::string& log) {
  const auto listed = log.rfind("XRB simulator command \"list\" -> 0");
  if (listed == std::string::npos) return std::nullopt;
  std::istringstream lines(log.substr(listed));
  std::string line;
  std::getline(lines, line);  // the command's own record
  std::size_t drivers = 0;
  while (std::getline(lines, line) && line.rfind("Units: ", 0) != 0) {
  }
  while (std::getline(lines, line)) {
    const auto at = line.find(" Drivers=");
    if (at == std::string::npos) break;  // past the unit lines
    drivers += std::stoul(line.substr(at + 9));
  }
  return drivers;
}

}  // namespace

std::optional<ServerProbe> ServerProbe::Connect(const std::string& logPath, std::string& error) {
  ServerProbe probe;
  probe.logPath_ = logPath;
  HRESULT hr = CoCreateInstance(CLSID_TalvaroCommunicationDriverFactory, nullptr, CLSCTX_LOCAL_SERVER,
                                uuidof<ITalvaroCommunicationDriverFactory>, probe.factory_.PutVoid());
  if (SUCCEEDED(hr)) hr = probe.factory_.As(&probe.debug_);
  if (SUCCEEDED(hr)) {
    hr = CoCreateInstance(CLSID_TalvaroCommunicationDriverGApp, nullptr, CLSCTX_LOCAL_SERVER, uuidof<IXRBGeneric>,
                          probe.generic_.PutVoid());
  }
  platform::remoting::RemoteIdentity identity;
  if (SUCCEEDED(hr)) hr = platform::remoting::GetRemoteIdentity(probe.factory_.Get(), &identity);
  if (FAILED(hr)) {
    std::ostringstream text;
    text << "cannot reach the server (0x" << std::hex << std::uppercase << static_cast<unsigned>(hr) << ")";
    error = text.str();
    return std::nullopt;
  }
  probe.pid_ = static_cast<pid_t>(identity.server);
  return probe;
}

bool ServerProbe::ListUnits() {
  platform::automation::SafeArray names;
  return debug_->GetXRBNames(names.Put()) == S_OK;
}

std::optional<ServerFigures> ServerProbe::Measure(std::string& error) {
  ServerFigures figures;
  const std::string proc = "/proc/" + std::to_string(pid_);
  const auto rss = ResidentKiB(pid_);
  if (!rss) {
    error = "cannot read " + proc + "/status";
    return std::nullopt;
  }
  figures.rssKiB = *rss;
  figures.descriptors = CountEntries(proc + "/fd");
  figures.threads = CountEntries(proc + "/task");
  platform::automation::Bstr list(L"list");
  if (generic_->SendGenericCommand(list.Get()) != S_OK) {
    error = "the server's hardware did not answer \"list\" (is it the simulator?)";
    return std::nullopt;
  }
  std::ifstream file(logPath_);
  std::ostringstream contents;
  contents << file.rdbuf();
  const std::string log = contents.str();
  const auto drivers = DriversInLastListing(log);
  if (!drivers) {
    error = "the log " + logPath_ + " does not show the \"list\" output (--log names the server's log)";
    return std::nullopt;
  }
  figures.driverObjects = *drivers;
  figures.cleanups = Occurrences(log, "Performing cleaup");
  return figures;
}

}  // namespace tcdstorm
