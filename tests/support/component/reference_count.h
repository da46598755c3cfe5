// The reference count of an object, read through an AddRef/Release pair.
#pragma once

#include "platform/com/unknown.h"

namespace Talvaro::Testing {

inline ULONG CountOf(IUnknown* unknown) {
  unknown->AddRef();
  return unknown->Release();
}

}  // namespace Talvaro::Testing
