// The infrastructure library's string converter: widens narrow texts (exception what() texts,
// command output) for wide log records. Narrow texts are taken as UTF-8; malformed bytes become
// U+FFFD, so a hostile text never ends the process. ASCII passes unchanged.
#pragma once

#include <string>
#include <string_view>

namespace Infra {

std::wstring ToWide(std::string_view narrow);
std::string ToNarrow(std::wstring_view wide);

}  // namespace Infra
