#include "common/registry_readers.h"

#include <array>

#include "platform/registry/registry.h"
#include "platform/types/error_codes.h"

namespace Talvaro::Common {
namespace {

// Opens the key for the query and closes it again whatever happens.
class OpenedKey {
 public:
  explicit OpenedKey(const std::wstring& keyPath) {
    opened_ = RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_ALL_ACCESS, &key_) ==
              ERROR_SUCCESS;
  }
  ~OpenedKey() {
    if (opened_) RegCloseKey(key_);
  }
  OpenedKey(const OpenedKey&) = delete;
  OpenedKey& operator=(const OpenedKey&) = delete;

  // Queries into `buffer` of `capacity` bytes; returns the byte count delivered, or -1.
  long Query(const std::wstring& valueName, BYTE* buffer, DWORD capacity) const {
    if (!opened_) return -1;
    DWORD size = capacity;
    DWORD type = REG_NONE;
    if (RegQueryValueExW(key_, valueName.c_str(), nullptr, &type, buffer, &size) != ERROR_SUCCESS) {
      return -1;
    }
    return static_cast<long>(size);
  }

 private:
  HKEY key_ = nullptr;
  bool opened_ = false;
};

constexpr std::size_t kStringBufferChars = 50;

}  // namespace

bool ReadRegistryDword(const std::wstring& valueName, const std::wstring& keyPath, DWORD& value) {
  DWORD buffer = 0;
  const long read = OpenedKey(keyPath).Query(valueName, reinterpret_cast<BYTE*>(&buffer),
                                             sizeof buffer);
  if (read < 0) return false;
  value = buffer;
  return true;
}

bool ReadRegistryString(const std::wstring& valueName, const std::wstring& keyPath,
                        std::wstring& value) {
  std::array<wchar_t, kStringBufferChars> buffer{};
  const long read = OpenedKey(keyPath).Query(valueName, reinterpret_cast<BYTE*>(buffer.data()),
                                             sizeof buffer);
  if (read < 0) return false;
  // The data without its terminator: one character less than were delivered.
  const long characters = read / static_cast<long>(sizeof(wchar_t)) - 1;
  value.assign(buffer.data(), characters > 0 ? static_cast<std::size_t>(characters) : 0);
  return true;
}

}  // namespace Talvaro::Common
