// Small interfaces and objects the component-runtime tests build on.
#pragma once

#include <atomic>

#include "platform/com/com_object.h"
#include "platform/com/interface_table.h"
#include "platform/com/module.h"
#include "tests/support/component/reference_count.h"

struct IAlpha : IUnknown {
  virtual int Alpha() = 0;

 protected:
  ~IAlpha() = default;
};
template <>
inline constexpr IID uuidof<IAlpha> = platform::MakeGuid("{6A0E5C3B-1D52-4F39-9C5A-0D7B3F1E2A01}");

struct IBeta : IUnknown {
  virtual int Beta() = 0;

 protected:
  ~IBeta() = default;
};
template <>
inline constexpr IID uuidof<IBeta> = platform::MakeGuid("{6A0E5C3B-1D52-4F39-9C5A-0D7B3F1E2A02}");

// Implemented by objects but deliberately left out of their tables.
struct IHidden : IUnknown {
  virtual int Hidden() = 0;

 protected:
  ~IHidden() = default;
};
template <>
inline constexpr IID uuidof<IHidden> = platform::MakeGuid("{6A0E5C3B-1D52-4F39-9C5A-0D7B3F1E2A03}");

// Counts live objects and lets tests decide whether FinalConstruct fails.
struct Census {
  static inline std::atomic<int> alive{0};
  static inline std::atomic<int> finalReleases{0};
  static inline HRESULT finalConstructResult = S_OK;
  static void Reset() {
    alive = 0;
    finalReleases = 0;
    finalConstructResult = S_OK;
  }
};

class CAlphaBeta : public platform::com::ObjectRoot, public IAlpha, public IBeta, public IHidden {
 public:
  using Interfaces = platform::com::InterfaceTable<CAlphaBeta, IAlpha, IBeta>;
  CAlphaBeta() { ++Census::alive; }
  ~CAlphaBeta() { --Census::alive; }
  HRESULT FinalConstruct() { return Census::finalConstructResult; }
  void FinalRelease() { ++Census::finalReleases; }
  int Alpha() override { return 1; }
  int Beta() override { return 2; }
  int Hidden() override { return 3; }
};

// A module that only counts, so tests see exactly the references objects take.
class CountingModule final : public platform::com::ServerModule {
 public:
  CountingModule() { platform::com::SetCurrentModule(this); }
  ~CountingModule() override { platform::com::SetCurrentModule(nullptr); }
  LONG Lock() override { return ++count; }
  LONG Unlock() override { return --count; }
  LONG GetLockCount() override { return count; }
  std::atomic<LONG> count{0};
};

using Talvaro::Testing::CountOf;
