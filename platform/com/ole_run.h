// OleRun: puts an object into its running state. An object that has one beside being created
// says so through IRunnableObject; every other object (a proxy of a local server's object
// among them: that object runs as long as its server does) is running already.
#pragma once

#include "platform/com/unknown.h"

struct IBindCtx;  // binding contexts are not part of this runtime: Run is always given null

struct IRunnableObject : IUnknown {
  virtual HRESULT GetRunningClass(CLSID* clsid) = 0;
  virtual HRESULT Run(IBindCtx* bindContext) = 0;
  virtual BOOL IsRunning() = 0;
  virtual HRESULT LockRunning(BOOL lock, BOOL lastUnlockCloses) = 0;
  virtual HRESULT SetContainedObject(BOOL contained) = 0;

 protected:
  ~IRunnableObject() = default;
};
template <>
inline constexpr IID uuidof<IRunnableObject> = platform::MakeGuid("{00000126-0000-0000-C000-000000000046}");

// E_INVALIDARG for null; the result of the object's IRunnableObject::Run when it has one (an
// object running already answers S_OK there); S_OK otherwise.
HRESULT OleRun(IUnknown* object);
