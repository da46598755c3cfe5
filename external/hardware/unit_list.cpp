#include "external/hardware/unit_list.h"

#include <algorithm>

namespace OrbiqCommunicationLibrary::Detail {
namespace {

class SubItem final : public IUnitSubItem {
 public:
  explicit SubItem(std::wstring name) : name_(std::move(name)) {}
  std::wstring GetName() const override { return name_; }

 private:
  std::wstring name_;
};

class Item final : public IUnitItem {
 public:
  explicit Item(const UnitEntry& unit) : description_(unit.description) {
    for (const auto& name : unit.subItems) subItems_.emplace_back(name);
  }
  CXRBDescription GetDescription() const override { return description_; }
  unsigned int GetSubItemCount() const override {
    return static_cast<unsigned int>(subItems_.size());
  }
  const IUnitSubItem* GetSubItem(unsigned int index) const override {
    return index < subItems_.size() ? &subItems_[index] : nullptr;
  }

 private:
  CXRBDescription description_;
  std::vector<SubItem> subItems_;
};

}  // namespace

class UnitLists::List final : public IUnitList {
 public:
  explicit List(const std::vector<UnitEntry>& units) : items_(units.begin(), units.end()) {}
  unsigned int GetCount() const override { return static_cast<unsigned int>(items_.size()); }
  const IUnitItem* GetItem(unsigned int index) const override {
    return index < items_.size() ? &items_[index] : nullptr;
  }

 private:
  std::vector<Item> items_;
};

UnitLists::UnitLists() = default;
UnitLists::~UnitLists() = default;

IUnitList* UnitLists::Add(const std::vector<UnitEntry>& units) {
  auto list = std::make_unique<List>(units);
  std::lock_guard lock(mutex_);
  lists_.push_back(std::move(list));
  return lists_.back().get();
}

E_ORBIQLIB_Result UnitLists::Release(IUnitList* list) {
  std::lock_guard lock(mutex_);
  const auto found = std::find_if(lists_.begin(), lists_.end(),
                                  [&](const auto& owned) { return owned.get() == list; });
  if (found == lists_.end()) return ORBIQLIB_E_INVALID_ARGUMENT;
  lists_.erase(found);
  return ORBIQLIB_SUCCESS;
}

}  // namespace OrbiqCommunicationLibrary::Detail
