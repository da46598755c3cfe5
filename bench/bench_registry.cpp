// The cost of reading one registry value, as the server's readers do it: open the key, query,
// close; and a query on a key that is already open. The database lives in a fresh temporary
// directory and holds 200 keys of 20 values each besides the one that is read.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/registry/registry.h"
#include "platform/registry/registry_transaction.h"
#include "platform/types/error_codes.h"

namespace {

constexpr const wchar_t* kKey = L"SOFTWARE\\TALVARO\\ORBIQ\\TalvaroCommunicationDriver\\Log";

// Points TALVARO_REGISTRY at a populated database for the life of the process.
class Registry {
 public:
  Registry() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/talvaro-bench-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    dir_ = pattern;
    setenv("TALVARO_REGISTRY", (dir_ / "registry.db").c_str(), 1);
    // One transaction: thousands of separately synced writes would take minutes.
    platform::registry::Transaction filling(platform::registry::Transaction::Mode::kWrite);
    for (int k = 0; k < 200; ++k) {
      HKEY key = nullptr;
      const std::wstring path = L"SOFTWARE\\Filler\\Key" + std::to_wstring(k);
      RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                      &key, nullptr);
      for (int v = 0; v < 20; ++v) {
        const DWORD data = static_cast<DWORD>(v);
        RegSetValueExW(key, (L"Value" + std::to_wstring(v)).c_str(), 0, REG_DWORD,
                       reinterpret_cast<const BYTE*>(&data), sizeof data);
      }
      RegCloseKey(key);
    }
    HKEY key = nullptr;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                    nullptr);
    const std::wstring file = L"/var/log/talvaro/tcd.log";
    RegSetValueExW(key, L"FileName", 0, REG_SZ, reinterpret_cast<const BYTE*>(file.c_str()),
                   static_cast<DWORD>((file.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
    if (filling.Commit() != ERROR_SUCCESS) std::abort();
  }
  ~Registry() {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

 private:
  std::filesystem::path dir_;
};

Registry& Populated() {
  static Registry registry;
  return registry;
}

void BM_OpenQueryClose(benchmark::State& state) {
  Populated();
  wchar_t buffer[50];
  for (auto _ : state) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) {
      state.SkipWithError("open failed");
      break;
    }
    DWORD size = sizeof buffer, type = 0;
    const LSTATUS status = RegQueryValueExW(key, L"FileName", nullptr, &type,
                                            reinterpret_cast<BYTE*>(buffer), &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS) {
      state.SkipWithError("query failed");
      break;
    }
    benchmark::DoNotOptimize(buffer);
  }
}
BENCHMARK(BM_OpenQueryClose);

void BM_QueryOpenKey(benchmark::State& state) {
  Populated();
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ, &key) != ERROR_SUCCESS) {
    state.SkipWithError("open failed");
    return;
  }
  wchar_t buffer[50];
  for (auto _ : state) {
    DWORD size = sizeof buffer, type = 0;
    if (RegQueryValueExW(key, L"FileName", nullptr, &type, reinterpret_cast<BYTE*>(buffer),
                         &size) != ERROR_SUCCESS) {
      state.SkipWithError("query failed");
      break;
    }
    benchmark::DoNotOptimize(buffer);
  }
  RegCloseKey(key);
}
BENCHMARK(BM_QueryOpenKey);

}  // namespace

BENCHMARK_MAIN();
