// Process entry, command line and the single-instance guard.
#include <cstdint>
#include <cstdio>

#include "host/command_line.h"
#include "host/module.h"
#include "interfaces/application_lifecycle.h"
#include "platform/com/apartment.h"
#include "platform/kernel/synch.h"
#include "platform/registry/registry.h"
#include "platform/service/event_log.h"
#include "platform/system/char_case.h"
#include "platform/system/last_error.h"
#include "platform/system/message_box.h"
#include "platform/system/process.h"
#include "platform/types/wide_string.h"

namespace Talvaro::Host {
namespace {

// CharUpperW's one-character form. Characters beyond 16 bits would read as a string pointer;
// none of them upper-cases to a keyword's letter, so they simply never match.
bool SameLetter(wchar_t word, wchar_t keyword) {
  if (static_cast<std::uint32_t>(word) > 0xFFFF) return false;
  const auto upper = [](wchar_t c) {
    return static_cast<wchar_t>(reinterpret_cast<std::uintptr_t>(
        CharUpperW(reinterpret_cast<LPWSTR>(static_cast<std::uintptr_t>(c)))));
  };
  return upper(word) == upper(keyword);
}

bool WordIs(std::wstring_view word, std::wstring_view keyword) {
  if (word.size() < keyword.size()) return false;
  for (std::size_t i = 0; i < keyword.size(); ++i) {
    if (!SameLetter(word[i], keyword[i])) return false;
  }
  return word.size() == keyword.size() || word[keyword.size()] == L' ' || word[keyword.size()] == L'\t';
}

constexpr wchar_t kGuardName[] = L"Global\\TalvaroCommunicationDriverIsRunning";

}  // namespace

CommandLineSwitch FindSwitch(std::wstring_view commandLine) {
  const std::size_t slash = commandLine.find(L'/');
  if (slash == std::wstring_view::npos) return CommandLineSwitch::None;
  const std::wstring_view word = commandLine.substr(slash + 1);
  if (WordIs(word, L"UnregServer")) return CommandLineSwitch::UnregServer;
  if (WordIs(word, L"RegServer")) return CommandLineSwitch::RegServer;
  if (WordIs(word, L"Service")) return CommandLineSwitch::Service;
  if (WordIs(word, L"debug")) return CommandLineSwitch::Debug;
  if (WordIs(word, L"help")) return CommandLineSwitch::Help;
  return CommandLineSwitch::None;
}

int ProcessExitStatus(int exitCode) {
  return exitCode != 0 && (exitCode & 0xFF) == 0 ? 1 : exitCode;
}

int CTalvaroCommunicationDriverModule::WinMain(int showCmd) {
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);  // the result does not matter here
  if (FAILED(initResult_)) return -1;
  HRESULT result = S_OK;
  if (ParseCommandLine(GetCommandLineW(), &result)) result = Start(showCmd);
  if (!service_ && comInitialized_) {
    CoUninitialize();
    comInitialized_ = false;
  }
  if (result == static_cast<HRESULT>(ERROR_BADDB) || result == HRESULT_FROM_WIN32(ERROR_BADDB)) {
    ReportDamagedRegistry();
  }
  // Started outside the service manager while registered as a service, or with no application
  // identity registered: both end quietly.
  if (result == static_cast<HRESULT>(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) ||
      result == static_cast<HRESULT>(ERROR_FILE_NOT_FOUND)) {
    return 0;
  }
  return static_cast<int>(result);
}

void CTalvaroCommunicationDriverModule::ReportDamagedRegistry() {
  const std::wstring text = L"The registry " + platform::FromUtf8(platform::registry::CurrentDatabasePath()) +
                            L" is damaged or is not a registry file; TalvaroCommunicationDriver cannot run until it "
                            L"is repaired, or removed so that /RegServer or /debug makes a new one.";
  std::fputs((platform::ToUtf8(text) + "\n").c_str(), stderr);
  logger_->Error(logSource_, text, Logging::Category::Developer1);
  if (HANDLE source = RegisterEventSourceW(nullptr, serviceName_.c_str())) {
    LPCWSTR strings[] = {text.c_str()};
    ReportEventW(source, EVENTLOG_ERROR_TYPE, 0, 0, nullptr, 1, 0, strings, nullptr);
    DeregisterEventSource(source);
  }
}

bool CTalvaroCommunicationDriverModule::ParseCommandLine(LPCWSTR commandLine, HRESULT* result) {
  switch (FindSwitch(commandLine != nullptr ? commandLine : L"")) {
    case CommandLineSwitch::UnregServer:
      UnregisterServer(CLSID_TalvaroCommunicationDriverFactory);
      *result = UnregisterServer(CLSID_TalvaroCommunicationDriverGApp);
      if (SUCCEEDED(*result)) *result = UnregisterAppId();
      debugMode_ = false;
      return true;
    case CommandLineSwitch::RegServer:
      *result = RegisterAppId(false);
      if (SUCCEEDED(*result)) {
        RegisterServer(CLSID_TalvaroCommunicationDriverFactory);
        *result = RegisterServer(CLSID_TalvaroCommunicationDriverGApp);
      }
      debugMode_ = false;
      return false;
    case CommandLineSwitch::Service:
      if (!IsInstalled()) {
        *result = RegisterAppId(true);
        if (SUCCEEDED(*result)) {
          RegisterServer(CLSID_TalvaroCommunicationDriverFactory);
          *result = RegisterServer(CLSID_TalvaroCommunicationDriverGApp);
          ConfigureService();
        }
      }
      debugMode_ = false;
      SetLastError(ERROR_SUCCESS);
      return CheckSingleInstance();
    case CommandLineSwitch::Debug:
      if (!CheckSingleInstance()) {
        *result = S_OK;
        return false;
      }
      *result = RegisterAppId(false);
      if (SUCCEEDED(*result)) {
        RegisterServer(CLSID_TalvaroCommunicationDriverFactory);
        *result = RegisterServer(CLSID_TalvaroCommunicationDriverGApp);
      }
      debugMode_ = true;
      return true;
    case CommandLineSwitch::Help:
      MessageBoxW(nullptr, kHelpText, kHelpCaption, MB_OK);
      *result = S_OK;
      debugMode_ = false;
      return false;
    case CommandLineSwitch::None:
      break;
  }
  return CheckSingleInstance();
}

bool CTalvaroCommunicationDriverModule::CheckSingleInstance() {
  if (HANDLE previous = singleInstanceEvent_.exchange(nullptr)) CloseHandle(previous);
  HANDLE guard = CreateEventW(nullptr, FALSE, FALSE, kGuardName);
  const DWORD error = GetLastError();
  singleInstanceEvent_.store(guard);
  if (guard == nullptr) {
    logger_->Error(logSource_, L"Cannot create global lock object.", Logging::Category::Developer1);
    return false;
  }
  if (error == ERROR_ALREADY_EXISTS) {
    // The handle stays open until the process ends.
    logger_->Error(logSource_,
                   L"Cannot start TalvaroCommunicationDriver, because another instance is already running.",
                   Logging::Category::Developer1);
    return false;
  }
  return true;
}

}  // namespace Talvaro::Host
