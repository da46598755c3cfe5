#include "platform/system/code_page.h"

#include <cstring>
#include <cwchar>
#include <string>

#include "platform/system/last_error.h"
#include "platform/types/error_codes.h"
#include "platform/types/wide_string.h"

namespace {

int Failed(DWORD error) {
  SetLastError(error);
  return 0;
}

}  // namespace

int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR multiByte, int byteCount, LPWSTR wide, int wideCount) {
  if (codePage != CP_ACP && codePage != CP_UTF8) return Failed(ERROR_INVALID_PARAMETER);
  // UTF-8 takes no flag but MB_ERR_INVALID_CHARS; the ANSI code page also MB_PRECOMPOSED and
  // MB_USEGLYPHCHARS, which change nothing for UTF-8 text (composite forms are not supported).
  const DWORD allowed = codePage == CP_UTF8 ? MB_ERR_INVALID_CHARS : (MB_ERR_INVALID_CHARS | MB_PRECOMPOSED | MB_USEGLYPHCHARS);
  if ((flags & ~allowed) != 0) return Failed(ERROR_INVALID_FLAGS);
  if (multiByte == nullptr || byteCount == 0 || byteCount < -1 || wideCount < 0 ||
      (wideCount > 0 && wide == nullptr)) {
    return Failed(ERROR_INVALID_PARAMETER);
  }
  const std::size_t length = byteCount == -1 ? std::strlen(multiByte) + 1 : static_cast<std::size_t>(byteCount);
  const std::string_view bytes(multiByte, length);
  const std::wstring converted = platform::FromUtf8(bytes);
  if ((flags & MB_ERR_INVALID_CHARS) != 0 && converted.find(L'\uFFFD') != std::wstring::npos &&
      platform::ToUtf8(converted) != bytes) {
    return Failed(ERROR_NO_UNICODE_TRANSLATION);  // a U+FFFD that was not in the text
  }
  const auto needed = static_cast<int>(converted.size());
  if (wideCount == 0) return needed;
  if (wideCount < needed) return Failed(ERROR_INSUFFICIENT_BUFFER);
  std::wmemcpy(wide, converted.data(), converted.size());
  return needed;
}
