// Reading back what the host wrote (registry values, files, event-log records), and polling for
// a condition with a generous bound.
#pragma once

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/registry/registry.h"
#include "platform/types/error_codes.h"

namespace host_test {

using namespace std::chrono_literals;

inline bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 60s) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

inline bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

inline std::string ReadText(const std::filesystem::path& path) {
  std::stringstream text;
  text << std::ifstream(path).rdbuf();
  return text.str();
}

// The texts of the event-log file's records, without their time and type prefix.
inline std::vector<std::string> EventTexts(const std::filesystem::path& eventLog) {
  std::ifstream file(eventLog);
  std::vector<std::string> texts;
  for (std::string line; std::getline(file, line);) texts.push_back(line.substr(line.find(": ") + 2));
  return texts;
}

inline bool KeyExists(HKEY root, const std::wstring& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

// A REG_SZ value (name empty: the default value); nullopt when the key or value is missing.
inline std::optional<std::wstring> StringValue(HKEY root, const std::wstring& path, const std::wstring& name = L"") {
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return std::nullopt;
  wchar_t buffer[1024];
  DWORD size = sizeof buffer;
  DWORD type = REG_NONE;
  const LSTATUS status = RegQueryValueExW(key, name.empty() ? nullptr : name.c_str(), nullptr, &type,
                                          reinterpret_cast<LPBYTE>(buffer), &size);
  RegCloseKey(key);
  if (status != ERROR_SUCCESS || type != REG_SZ || size < sizeof(wchar_t)) return std::nullopt;
  return std::wstring(buffer, size / sizeof(wchar_t) - 1);
}

}  // namespace host_test
