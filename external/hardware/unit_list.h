// The unit lists a scanner hands out: snapshots of unit descriptions, each owned by its scanner
// until given back. Shared by the simulator's scanner and by test doubles of the library.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "external/hardware/comm_interfaces.h"

namespace OrbiqCommunicationLibrary::Detail {

// One unit as a scanner lists it.
struct UnitEntry {
  CXRBDescription description;
  std::vector<std::wstring> subItems;
};

// The lists handed out by one scanner; they go with it. Thread-safe.
class UnitLists {
 public:
  UnitLists();
  ~UnitLists();
  UnitLists(const UnitLists&) = delete;
  UnitLists& operator=(const UnitLists&) = delete;

  // A new list of `units`, owned here until Release.
  IUnitList* Add(const std::vector<UnitEntry>& units);
  // ORBIQLIB_E_INVALID_ARGUMENT for a list not handed out here, or given back already.
  E_ORBIQLIB_Result Release(IUnitList* list);

 private:
  class List;
  std::mutex mutex_;
  std::vector<std::unique_ptr<List>> lists_;  // guarded by mutex_
};

}  // namespace OrbiqCommunicationLibrary::Detail
