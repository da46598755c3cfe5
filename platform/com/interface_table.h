// QueryInterface by table. A class lists the interfaces it answers, in order:
//
//   using Interfaces = InterfaceTable<CMyObject, IFoo, IBar, Expose<IDispatch, IBar>>;
//
// An entry I answers uuidof<I> with the object's I base; Expose<I, Via> answers uuidof<I> with
// the I base reached through the Via base (for an interface inherited twice, like IDispatch).
// IID_IUnknown answers the first entry's pointer, which is therefore the object's identity.
// Interfaces not listed (callback interfaces the object implements for others) are unreachable.
#pragma once

#include <type_traits>

#include "platform/com/unknown.h"

namespace platform::com {

template <class Interface, class Via = Interface>
struct Expose {
  static_assert(std::is_base_of_v<Interface, Via>, "Via must derive from the exposed interface");
  using InterfaceType = Interface;
  using ViaType = Via;
};

namespace interface_table_detail {
template <class Entry>
struct EntryTraits {
  using InterfaceType = Entry;
  using ViaType = Entry;
};
template <class Interface, class Via>
struct EntryTraits<Expose<Interface, Via>> {
  using InterfaceType = Interface;
  using ViaType = Via;
};

template <class Entry, class Object>
IUnknown* Pointer(Object* object) {
  using Traits = EntryTraits<Entry>;
  static_assert(std::is_base_of_v<typename Traits::ViaType, Object>,
                "the object does not implement this interface");
  auto* via = static_cast<typename Traits::ViaType*>(object);
  return static_cast<typename Traits::InterfaceType*>(via);
}

template <class Entry, class Object>
bool Match(Object* object, REFIID riid, IUnknown*& found) {
  if (riid != uuidof<typename EntryTraits<Entry>::InterfaceType>) return false;
  found = Pointer<Entry>(object);
  return true;
}
}  // namespace interface_table_detail

template <class Object, class First, class... Rest>
struct InterfaceTable {
  // The object's identity: the first entry's pointer, which QueryInterface(IID_IUnknown) gives.
  static IUnknown* Identity(Object* object) { return interface_table_detail::Pointer<First>(object); }

  // Fills *result with an added reference, or null with E_NOINTERFACE. `object` may be a class
  // derived from Object (the object templates pass themselves).
  template <class Derived>
  static HRESULT Query(Derived* object, REFIID riid, void** result) {
    static_assert(std::is_base_of_v<Object, Derived>);
    using namespace interface_table_detail;
    if (result == nullptr) return E_POINTER;
    *result = nullptr;
    auto* self = static_cast<Object*>(object);
    IUnknown* found = nullptr;
    if (riid == IID_IUnknown) {
      found = Pointer<First>(self);
    } else {
      // Table order decides between entries that share an identifier.
      (void)(Match<First>(self, riid, found) || (Match<Rest>(self, riid, found) || ...));
    }
    if (found == nullptr) return E_NOINTERFACE;
    found->AddRef();
    *result = found;
    return S_OK;
  }
};

}  // namespace platform::com
