#include "tools/tcdctl/output.h"

#include <cstdio>

#include "interfaces/communication_driver.h"
#include "platform/automation/variant.h"
#include "platform/automation/safearray.h"
#include "platform/system/format_message.h"
#include "platform/types/wide_string.h"

namespace tcdctl {
namespace {

constexpr const char* kOverview = R"HELP(NAME
    tcdctl - talk to the TalvaroCommunicationDriver server from a shell

SYNOPSIS
    tcdctl [--json] [--app <name>] [--timeout <seconds>] <command> [<argument>...]
    tcdctl --help
    tcdctl <command> --help

DESCRIPTION
    tcdctl is a client of the TalvaroCommunicationDriver server: it lists and describes the
    XRB units the server sees, opens a unit and prints its events as they arrive, writes
    bytes to a unit, watches every data block and write through the registration observer,
    and passes generic and application lifecycle commands to the hardware.

    The server is found as any client finds it: a running server publishes its classes in
    the runtime directory ($TALVARO_RUN_DIR, default /run/talvaro); otherwise the registry
    ($TALVARO_REGISTRY) says how to start it (as a service through systemd, or the registered
    program as a local server). When it is neither running nor registered, tcdctl says so
    and ends with status 1.

COMMANDS
    units                              list the logical names of the XRB units
    info <unit>                        describe one unit
    subitems <unit>                    list a unit's sub-items
    open [--shm] <unit>                print the unit's events until Ctrl-C or SIGTERM
    write <unit> <hex> [<value>]       write bytes to a unit and print the hardware result
    watch                              print every data block and write of every unit
    generic <text>                     pass a generic command to the hardware
    create|activate|shutdown <text1> <text2>
                                       pass an application lifecycle command

OPTIONS
    --json          print one JSON object per line instead of text (see each command)
    --shm           open: through the shared-memory connector (see tcdctl open --help)
    --app <name>    the application name tcdctl gives the server (default "tcdctl")
    --timeout <seconds>
                    how long a call may wait for the server's answer (default 30; 0 waits
                    while the server lives); a server that does not answer in time is a
                    failure: "tcdctl: <what>: the server did not answer within <n> s"
    --help, -h      show this text, or with a command that command's

    Options may come before or after the command word; "--" ends them, so that a name
    beginning with '-' can be given. Names and texts tcdctl echoes in its messages have
    their control characters written as \xHH.

EXIT STATUS
    0   the command succeeded (open and watch: ended by Ctrl-C or SIGTERM)
    1   the command failed; "tcdctl: <reason>" on standard error
    2   the command line is not valid; the reason and a usage hint on standard error

EXAMPLES
    tcdctl units
    tcdctl info XRB_1
    tcdctl --app monitor open XRB_1
    tcdctl write XRB_1 0102A0FF 7
    tcdctl generic 'data XRB_1 01 02'
    tcdctl --json watch
)HELP";

constexpr const char* kUnits = R"HELP(NAME
    tcdctl units - list the XRB units

SYNOPSIS
    tcdctl [--json] units

DESCRIPTION
    Prints the logical name of every unit the server's hardware proxy sees, one per line, in
    the proxy's order. With --json: {"units":["XRB_1","XRB_2"]}.
)HELP";

constexpr const char* kInfo = R"HELP(NAME
    tcdctl info - describe one XRB unit

SYNOPSIS
    tcdctl [--json] info <unit>

DESCRIPTION
    Prints the server's five description lines of the unit: logical name, backplane id,
    IP address, MAC address and state. <unit> is matched exactly, letter case included.
    With --json: {"unit":"XRB_1","info":["Logical name: XRB_1",...]}.

EXIT STATUS
    1 when no unit has that name.
)HELP";

constexpr const char* kSubItems = R"HELP(NAME
    tcdctl subitems - list the sub-items of one XRB unit

SYNOPSIS
    tcdctl [--json] subitems <unit>

DESCRIPTION
    Prints the names of the unit's sub-items, one per line (nothing when it has none).
    With --json: {"unit":"XRB_1","subitems":["Sensor_A","Sensor_B"]}.

EXIT STATUS
    1 when no unit has that name.
)HELP";

constexpr const char* kOpen = R"HELP(NAME
    tcdctl open - print a unit's events as they arrive

SYNOPSIS
    tcdctl [--json] [--app <name>] open <unit>
    tcdctl [--json] [--app <name>] open --shm <unit>

DESCRIPTION
    Creates a driver object for the unit (under the application name of --app), subscribes
    to its events and prints one line per event until Ctrl-C or SIGTERM, then unsubscribes
    and ends with status 0:
        data <hex>        a data block, two hexadecimal digits per byte
        error <code>      a hardware error code (signed decimal)
        state <0|1>       the unit's availability changed
        liveliness        the server's once-a-second sign of life
    With --json one object per line:
        {"event":"data","unit":"XRB_1","data":"0102A0FF"}
        {"event":"error","unit":"XRB_1","code":-1200}
        {"event":"state","unit":"XRB_1","state":1}
        {"event":"liveliness","unit":"XRB_1"}

    With --shm the unit is opened through the server's shared-memory connector (the server's
    ConnectorType is SHARED_MEMORY): data blocks arrive on the link's data channel and are
    printed as above; errors and state changes still come as events. The server's liveliness
    probes are answered and counted instead of printed; at the end one line gives the count:
        probes <n>        {"unit":"XRB_1","probes":12}
    Each line of standard input is a write to the unit through the link's write channel:
        <hex> [<value>]   the bytes (two hexadecimal digits per byte, "" none) and the
                          32-bit value that goes with them (decimal or 0x..., default 0)
    The write channel carries no answer: the server logs a write the hardware refused. A
    malformed line is reported on standard error and skipped; the end of the input ends only
    the writes.

EXIT STATUS
    0 when ended by Ctrl-C or SIGTERM; 1 when the unit cannot be opened (with --shm also when
    the server does not use the shared-memory connector) or the server goes away while
    listening.
)HELP";

constexpr const char* kWrite = R"HELP(NAME
    tcdctl write - write bytes to a unit

SYNOPSIS
    tcdctl [--json] [--app <name>] write <unit> <hex> [<value>]

DESCRIPTION
    Writes the bytes <hex> (pairs of hexadecimal digits, optionally after 0x; '' for none)
    to the unit through a driver object, with the 32-bit <value> (decimal, or 0x and up to
    eight hexadecimal digits; default 0), and prints the hardware's result:
        result <n>                                  0 is success
    With --json: {"unit":"XRB_1","result":0}.

EXIT STATUS
    0 when the write reached the hardware, whatever the hardware answered; 1 when the unit
    cannot be opened or the call failed.
)HELP";

constexpr const char* kWatch = R"HELP(NAME
    tcdctl watch - print every data block and write the server sees

SYNOPSIS
    tcdctl [--json] watch

DESCRIPTION
    Registers with the server's registration observer and prints each notification until
    Ctrl-C or SIGTERM, then unregisters and ends with status 0. A notification carries the
    big-endian words of bytes 0-3, 4-7 and 8-11 of the block (the third plus every later
    byte), the block's size and the driver's milliseconds since its creation:
        notify 00000001 00000002 00000003 bytes=12 value=1534
    With --json:
        {"event":"notify","first":1,"second":2,"third":3,"bytes":12,"value":1534}
)HELP";

constexpr const char* kGeneric = R"HELP(NAME
    tcdctl generic - pass a generic command to the hardware

SYNOPSIS
    tcdctl [--json] generic <text>

DESCRIPTION
    Hands <text> to the hardware proxy's own driver. The server's simulated units obey a
    small command language (inject data, an error, an availability change, a restriction
    question; set the next write or open result), for example
        tcdctl generic 'data XRB_1 01 02'
        tcdctl generic 'availability XRB_2 0'
    Prints nothing on success; with --json: {"ok":true}.

EXIT STATUS
    1 when the hardware refused the command.
)HELP";

constexpr const char* kLifecycle = R"HELP(NAME
    tcdctl create, activate, shutdown - pass an application lifecycle command

SYNOPSIS
    tcdctl [--json] create <text1> <text2>
    tcdctl [--json] activate <text1> <text2>
    tcdctl [--json] shutdown <text1> <text2>

DESCRIPTION
    Hands the application command (create 0, activate 1, shutdown 2) with both texts to the
    hardware proxy's own driver. Prints nothing on success; with --json: {"ok":true}.

EXIT STATUS
    1 when the hardware refused the command.
)HELP";

std::string Number(long long value) { return std::to_string(value); }

std::string Hex8(std::uint32_t value) {
  char buffer[9];
  std::snprintf(buffer, sizeof buffer, "%08X", value);
  return buffer;
}

std::string Hresult(std::int32_t hr) {
  char buffer[11];
  std::snprintf(buffer, sizeof buffer, "0x%08X", static_cast<std::uint32_t>(hr));
  return buffer;
}

// The first positional argument as an unsigned number (VT_UI4 and its kin), if any.
bool NumberArgument(const DISPPARAMS& params, long long* number) {
  const VARIANT* argument = platform::automation::PositionalArgument(params, 0);
  if (argument == nullptr) return false;
  switch (argument->vt) {
    case VT_UI4:
      *number = argument->ulVal;
      return true;
    case VT_I4:
    case VT_INT:
      *number = argument->lVal;
      return true;
    default:
      return false;
  }
}

}  // namespace

std::string Hex(std::span<const std::uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(bytes.size() * 2);
  for (const auto byte : bytes) {
    text.push_back(kDigits[byte >> 4]);
    text.push_back(kDigits[byte & 0xF]);
  }
  return text;
}

std::string JsonString(const std::string& text) {
  std::string quoted = "\"";
  for (const char c : text) {
    switch (c) {
      case '"':
        quoted += "\\\"";
        break;
      case '\\':
        quoted += "\\\\";
        break;
      case '\n':
        quoted += "\\n";
        break;
      case '\r':
        quoted += "\\r";
        break;
      case '\t':
        quoted += "\\t";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char escape[7];
          std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
          quoted += escape;
        } else {
          quoted.push_back(c);
        }
    }
  }
  return quoted + "\"";
}

std::string JsonArray(const std::vector<std::string>& texts) {
  std::string array = "[";
  for (std::size_t i = 0; i < texts.size(); ++i) array += (i == 0 ? "" : ",") + JsonString(texts[i]);
  return array + "]";
}

std::string EventLine(const std::string& unit, DISPID dispid, const DISPPARAMS& params, bool json) {
  const std::string prefix = "{\"event\":";
  const std::string unitField = ",\"unit\":" + JsonString(unit);
  long long number = 0;
  switch (dispid) {
    case DISPID_OnData: {
      std::vector<std::uint8_t> bytes;
      const VARIANT* argument = platform::automation::PositionalArgument(params, 0);
      if (argument != nullptr && argument->vt == (VT_ARRAY | VT_UI1)) {
        platform::automation::ReadByteArray(argument->parray, &bytes);
      }
      return json ? prefix + "\"data\"" + unitField + ",\"data\":\"" + Hex(bytes) + "\"}" : "data " + Hex(bytes);
    }
    case DISPID_OnError:
      if (NumberArgument(params, &number)) number = static_cast<std::int32_t>(static_cast<std::uint32_t>(number));
      return json ? prefix + "\"error\"" + unitField + ",\"code\":" + Number(number) + "}" : "error " + Number(number);
    case DISPID_OnStateChanged:
      NumberArgument(params, &number);
      return json ? prefix + "\"state\"" + unitField + ",\"state\":" + Number(number) + "}" : "state " + Number(number);
    case DISPID_OnLiveliness:
      return json ? prefix + "\"liveliness\"" + unitField + "}" : "liveliness";
    default:
      return json ? prefix + "\"unknown\"" + unitField + ",\"dispid\":" + Number(dispid) + "}"
                  : "event " + Number(dispid);
  }
}

std::string NotificationLine(std::uint32_t first, std::uint32_t second, std::uint32_t third, std::uint32_t bytes,
                             std::uint32_t value, bool json) {
  if (json) {
    return "{\"event\":\"notify\",\"first\":" + Number(first) + ",\"second\":" + Number(second) +
           ",\"third\":" + Number(third) + ",\"bytes\":" + Number(bytes) + ",\"value\":" + Number(value) + "}";
  }
  return "notify " + Hex8(first) + " " + Hex8(second) + " " + Hex8(third) + " bytes=" + Number(bytes) +
         " value=" + Number(value);
}

std::string Failure(const std::string& what, std::int32_t hr) {
  std::string reason;
  switch (hr) {
    case -1050:
      reason = "the server could not register with the hardware or set up shared memory";
      break;
    case -1100:
      reason = "the server could not get a hardware driver";
      break;
    case -1200:
      reason = "the hardware could not open the unit";
      break;
    default:
      reason = platform::ToUtf8(platform::system::SystemMessage(static_cast<DWORD>(hr)));
      if (reason.empty()) reason = "error";
      while (!reason.empty() && reason.back() == '.') reason.pop_back();
  }
  return what + ": " + reason + " (" + (hr < 0 && hr > -100000 ? Number(hr) : Hresult(hr)) + ")";
}

std::string Usage(Verb verb) {
  switch (verb) {
    case Verb::kUnits:
      return kUnits;
    case Verb::kInfo:
      return kInfo;
    case Verb::kSubItems:
      return kSubItems;
    case Verb::kOpen:
      return kOpen;
    case Verb::kWrite:
      return kWrite;
    case Verb::kWatch:
      return kWatch;
    case Verb::kGeneric:
      return kGeneric;
    case Verb::kCreate:
    case Verb::kActivate:
    case Verb::kShutdown:
      return kLifecycle;
    case Verb::kNone:
      break;
  }
  return kOverview;
}

}  // namespace tcdctl
