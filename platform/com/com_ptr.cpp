#include "platform/com/com_ptr.h"

namespace platform::com {

bool IsSameObject(IUnknown* a, IUnknown* b) {
  if (a == nullptr || b == nullptr) return a == b;
  ComPtr<IUnknown> identityA;
  ComPtr<IUnknown> identityB;
  if (FAILED(a->QueryInterface(IID_IUnknown, identityA.PutVoid()))) return false;
  if (FAILED(b->QueryInterface(IID_IUnknown, identityB.PutVoid()))) return false;
  return identityA == identityB;
}

}  // namespace platform::com
