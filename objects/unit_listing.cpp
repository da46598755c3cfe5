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

// A new, empty string array that entries are appended to.
HRESULT NewStringArray(SafeArray* array) {
  array->Attach(SafeArrayCreateVector(VT_BSTR, 0, 0));
  return *array ? S_OK : E_OUTOFMEMORY;
}

HRESULT Append(SafeArray& array, std::wstring_view text) {
  return FAILED(platform::automation::AppendString(array.Get(), text)) ? E_OUTOFMEMORY : S_OK;
}

// The five description lines, as the wide formatted print gives them for "Logical name: %s",
// "BackplainID: %X", "IP: %s", "MAC: %s" and "State: %s".
std::vector<std::wstring> DescriptionLines(const CXRBDescription& description) {
  return {L"Logical name: " + description.GetLogicalName(),
          fmt::format(L"BackplainID: {:X}", description.GetBoardID()),
          L"IP: " + description.GetIP(), L"MAC: " + description.GetMAC(),
          L"State: " + description.GetState()};
}

}  // namespace

HRESULT CTalvaroCommunicationDriverFactory::GetXRBNames(SAFEARRAY** names) {
  if (names == nullptr) return E_POINTER;
  UnitScan scan;
  if (!scan.Succeeded()) return E_FAIL;
  SafeArray result;
  HRESULT hr = NewStringArray(&result);
  for (unsigned int i = 0; SUCCEEDED(hr) && i < scan.Count(); ++i) {
    if (const IUnitItem* item = scan.Item(i)) hr = Append(result, item->GetDescription().GetLogicalName());
  }
  if (FAILED(hr)) return hr;
  *names = result.Detach();
  return S_OK;
}

HRESULT CTalvaroCommunicationDriverFactory::GetXRBSubItemNames(BSTR logicalName, SAFEARRAY** names) {
  if (names == nullptr) return E_POINTER;
  UnitScan scan;
  if (!scan.Succeeded()) return E_FAIL;
  const IUnitItem* unit = scan.Find(platform::automation::BstrView(logicalName));
  if (unit == nullptr) return E_INVALIDARG;
  SafeArray result;
  HRESULT hr = NewStringArray(&result);
  for (unsigned int i = 0; SUCCEEDED(hr) && i < unit->GetSubItemCount(); ++i) {
    if (const IUnitSubItem* subItem = unit->GetSubItem(i)) hr = Append(result, subItem->GetName());
  }
  if (FAILED(hr)) return hr;
  *names = result.Detach();
  return S_OK;
}

HRESULT CTalvaroCommunicationDriverFactory::GetXRBInfo(BSTR logicalName, SAFEARRAY** lines) {
  if (lines == nullptr) return E_POINTER;
  UnitScan scan;
  if (!scan.Succeeded()) return E_FAIL;
  const IUnitItem* unit = scan.Find(platform::automation::BstrView(logicalName));
  if (unit == nullptr) return E_INVALIDARG;
  SafeArray result;
  HRESULT hr = NewStringArray(&result);
  for (const std::wstring& line : DescriptionLines(unit->GetDescription())) {
    if (SUCCEEDED(hr)) hr = Append(result, line);
  }
  if (FAILED(hr)) return hr;
  *lines = result.Detach();
  return S_OK;
}

}  // namespace Talvaro::Objects
