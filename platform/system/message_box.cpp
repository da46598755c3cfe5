#include "platform/system/message_box.h"

#include <cstdio>
#include <string>

#include "platform/system/last_error.h"
#include "platform/types/wide_string.h"

int MessageBoxW(HWND /*owner*/, LPCWSTR text, LPCWSTR caption, UINT type) {
  if ((type & MB_TYPEMASK) != MB_OK) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return 0;
  }
  // One write, so that boxes from several threads do not interleave.
  std::string box = platform::ToUtf8(caption != nullptr ? caption : L"Error");
  box += '\n';
  box += platform::ToUtf8(text != nullptr ? text : L"");
  box += '\n';
  std::fwrite(box.data(), 1, box.size(), stderr);
  std::fflush(stderr);
  return IDOK;
}
