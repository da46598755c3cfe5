// IDebug: the units the hardware proxy sees, listed through a scanner of its own per call.
#include <fmt/xchar.h>

#include <string_view>
#include <vector>

#include "external/hardware/xrb_proxy.h"
#include "objects/driver_factory.h"
#include "platform/automation/safearray.h"

namespace Talvaro::Objects {
namespace {

using platform::automation::SafeArray;

// One scan: the scanner and its list, given back in that order (list, then scanner) when the
// scan goes out of scope.
class UnitScan {
 public:
  UnitScan() {
    factory_ = CXRBProxy::GetInstance()->GetFactory();
    scanner_ = factory_ != nullptr ? factory_->CreateUnitScanner() : nullptr;
    if (scanner_ == nullptr) return;
    if (scanner_->Scan(list_) != ORBIQLIB_SUCCESS) {
      list_ = nullptr;
      factory_->ReleaseUnitScanner(std::exchange(scanner_, nullptr));
    }
  }
  ~UnitScan() {
    if (scanner_ == nullptr) return;
    if (list_ != nullptr) scanner_->ReleaseList(list_);
    factory_->ReleaseUnitScanner(scanner_);
  }
  UnitScan(const UnitScan&) = delete;
  UnitScan& operator=(const UnitScan&) = delete;

  // False when there was no scanner or the scan failed.
  bool Succeeded() const { return scanner_ != nullptr; }

  unsigned int Count() const { return list_->GetCount(); }
  const IUnitItem* Item(unsigned int index) const { return list_->GetItem(index); }

  // The first item whose logical name equals `name` exactly; null when there is none.
  const IUnitItem* Find(std::wstring_view name) const {
    for (unsigned int i = 0; i < Count(); ++i) {
      const IUnitItem* item = Item(i);
      if (item != nullptr && item->GetDescription().GetLogicalName() == name) return item;
    }
    return nullptr;
  }

 private:
  ICommFactory* factory_ = nullptr;
  IUnitScanner* scanner_ = nullptr;
  IUnitList* list_ = nullptr;
};

// Hands `texts` out as a new string array; `out` is written only on success.
HRESULT ToStringArray(const std::vector<std::wstring>& texts, SAFEARRAY** out) {
  SafeArray result;
  result.Attach(SafeArrayCreateVector(VT_BSTR, 0, 0));
  if (!result) return E_OUTOFMEMORY;
  for (const std::wstring& text : texts) {
    if (FAILED(platform::automation::AppendString(result.Get(), text))) return E_OUTOFMEMORY;
  }
  *out = result.Detach();
  return S_OK;
}

// The five description lines, as the wide formatted print gives them for "Logical name: %s",
// "BackplainID: %X", "IP: %s", "MAC: %s" and "State: %s".
std::vector<std::wstring> DescriptionLines(const CXRBDescription& description) {
  return {L"Logical name: " + description.GetLogicalName(),
          fmt::format(L"BackplainID: {:X}", description.GetBoardID()),
          L"IP: " + description.GetIP(), L"MAC: " + description.GetMAC(),
          L"State: " + description.GetState()};
}

// The course of the two per-unit calls: scan, find the unit by its exact name, hand out what
// `describe` makes of it (while the scan still holds the unit).
template <class Describe>
HRESULT DescribeUnit(BSTR logicalName, SAFEARRAY** out, Describe describe) {
  if (out == nullptr) return E_POINTER;
  UnitScan scan;
  if (!scan.Succeeded()) return E_FAIL;
  const IUnitItem* unit = scan.Find(platform::automation::BstrView(logicalName));
  if (unit == nullptr) return E_INVALIDARG;
  return ToStringArray(describe(*unit), out);
}

}  // namespace

HRESULT CTalvaroCommunicationDriverFactory::GetXRBNames(SAFEARRAY** names) {
  if (names == nullptr) return E_POINTER;
  UnitScan scan;
  if (!scan.Succeeded()) return E_FAIL;
  std::vector<std::wstring> logicalNames;
  for (unsigned int i = 0; i < scan.Count(); ++i) {
    if (const IUnitItem* item = scan.Item(i)) logicalNames.push_back(item->GetDescription().GetLogicalName());
  }
  return ToStringArray(logicalNames, names);
}

HRESULT CTalvaroCommunicationDriverFactory::GetXRBSubItemNames(BSTR logicalName, SAFEARRAY** names) {
  return DescribeUnit(logicalName, names, [](const IUnitItem& unit) {
    std::vector<std::wstring> subItemNames;
    for (unsigned int i = 0; i < unit.GetSubItemCount(); ++i) {
      if (const IUnitSubItem* subItem = unit.GetSubItem(i)) subItemNames.push_back(subItem->GetName());
    }
    return subItemNames;
  });
}

HRESULT CTalvaroCommunicationDriverFactory::GetXRBInfo(BSTR logicalName, SAFEARRAY** lines) {
  return DescribeUnit(logicalName, lines,
                      [](const IUnitItem& unit) { return DescriptionLines(unit.GetDescription()); });
}

}  // namespace Talvaro::Objects
