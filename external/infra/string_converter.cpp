#include "external/infra/string_converter.h"

#include "platform/types/wide_string.h"

namespace Infra {

std::wstring ToWide(std::string_view narrow) { return platform::FromUtf8(narrow); }
std::string ToNarrow(std::wstring_view wide) { return platform::ToUtf8(wide); }

}  // namespace Infra
