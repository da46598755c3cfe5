// OrbiqWpcapSurrogate: configures the network capture service at start-up. Initialize starts a
// set-up thread that reads the capture settings (HKLM, key WinPcap of the server's key under
// SOFTWARE\TALVARO\Orbiq; docs/capture.md) and creates and starts the continuous or the
// flush-on-demand capture of the capture service, a local server; a component-model failure is
// logged and retried every 10 s, at most 10 attempts. Destruction stops the continuous capture.
//
// Threads: Initialize and destruction on the service host's main thread; the set-up on threads
// of its own (one per Initialize). The set-up threads never outlive the object: destruction
// wakes one that waits for its next attempt and waits for each to end (an attempt's calls to
// the capture service are bounded by the runtime's outgoing-call bound). captureLock_ guards
// the two references, which the set-up writes while Initialize may read them.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "interfaces/network_capture.h"
#include "platform/com/com_ptr.h"

namespace Talvaro::Diagnostics {

class OrbiqWpcapSurrogate {
 public:
  // `retryDelay` is the wait between two attempts: 10 s; tests give less.
  explicit OrbiqWpcapSurrogate(std::chrono::milliseconds retryDelay = std::chrono::seconds(10));
  ~OrbiqWpcapSurrogate();
  OrbiqWpcapSurrogate(const OrbiqWpcapSurrogate&) = delete;
  OrbiqWpcapSurrogate& operator=(const OrbiqWpcapSurrogate&) = delete;

  // Starts the set-up and returns at once. std::runtime_error "already initialized" when a
  // capture is set up; std::system_error when no thread can be started.
  void Initialize();

  // The REG_SZ value `valueName` of HKLM `keyPath` up to its first NUL, through the narrow
  // registry functions; empty when it cannot be read or has another type. Logs nothing.
  static std::string ReadRegistryStringA(const std::string& keyPath, const std::string& valueName);

  // The settings readers, each logging what it found (Info, category Communication).
  static std::string GetCaptureModeFromRegistry();  // lower-cased
  static std::string GetDestinationFromRegistry();
  static std::string GetCaptureFilterFromRegistry();
  static std::int32_t GetDumpCountFromRegistry();          // 300 when missing or unreadable
  static std::int32_t GetDumpRetentionDaysFromRegistry();  // 7 likewise

  // For tests: waits until every set-up thread has ended; false after `timeout`.
  bool WaitForSetup(std::chrono::milliseconds timeout);

 private:
  void RunCaptureSetup();
  // One mode's set-up; a missing folder is logged and sets up nothing (no retry).
  void InitializeContinuousMode(const std::string& network);
  void InitializeOnDemandMode(const std::string& network);
  void ReleaseCaptures();
  // Sleeps the retry delay; false when destruction woke it.
  bool WaitBeforeRetry();

  const std::chrono::milliseconds retryDelay_;
  std::mutex captureLock_;
  platform::com::ComPtr<IContinuousCapture> continuousCapture_;  // guarded by captureLock_
  platform::com::ComPtr<IOnDemandCapture> onDemandCapture_;      // guarded by captureLock_
  std::mutex stateLock_;
  std::condition_variable stateChanged_;
  bool stopping_ = false;  // guarded by stateLock_: destruction has begun
  int running_ = 0;        // guarded by stateLock_: set-up threads not ended
  std::vector<std::thread> setups_;  // the main thread's (Initialize, destruction)
};

}  // namespace Talvaro::Diagnostics
