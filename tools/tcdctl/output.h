// What tcdctl prints: result lines in text or JSON (one object per line), event and notification
// lines, failure messages with the system's text of an HRESULT, and the usage.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/automation/dispatch.h"
#include "tools/tcdctl/command_line.h"

namespace tcdctl {

// Upper-case hexadecimal digits, two per byte.
std::string Hex(std::span<const std::uint8_t> bytes);
// `text` as a JSON string literal, quotes included.
std::string JsonString(const std::string& text);
// ["a","b"]
std::string JsonArray(const std::vector<std::string>& texts);

// One line (without its line end) for an event of the driver's event interface. Text:
//   data <hex> | error <code> | state <0|1> | liveliness | event <dispid>
// JSON: {"event":"data","unit":"XRB_1","data":"0102"}, {"event":"error","unit":..,"code":-5},
// {"event":"state","unit":..,"state":1}, {"event":"liveliness","unit":..},
// {"event":"unknown","unit":..,"dispid":7}.
std::string EventLine(const std::string& unit, DISPID dispid, const DISPPARAMS& params, bool json);

// One line for a notification of the registration observer. Text:
//   notify <first> <second> <third> bytes=<count> value=<value>  (words in 8 hex digits)
// JSON: {"event":"notify","first":1,"second":2,"third":3,"bytes":12,"value":345}
std::string NotificationLine(std::uint32_t first, std::uint32_t second, std::uint32_t third, std::uint32_t bytes,
                             std::uint32_t value, bool json);

// "<what>: <system text> (0x8007000E)"; the system text from FormatMessageW, or "error" when the
// system has none. Known server results of a driver's initialisation are named.
std::string Failure(const std::string& what, std::int32_t hr);

// The usage of tcdctl, or of one command.
std::string Usage(Verb verb);

}  // namespace tcdctl
