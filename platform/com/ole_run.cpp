#include "platform/com/ole_run.h"

#include "platform/com/com_ptr.h"

HRESULT OleRun(IUnknown* object) {
  if (object == nullptr) return E_INVALIDARG;
  platform::com::ComPtr<IRunnableObject> runnable;
  if (FAILED(object->QueryInterface(uuidof<IRunnableObject>, runnable.PutVoid()))) return S_OK;
  return runnable->Run(nullptr);
}
