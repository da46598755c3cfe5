// The capture service's two classes. Each object runs at most one capture at a time; a failing
// call answers a negative status and leaves error information saying what went wrong. Calls come
// on the component runtime's workers; lock_ guards each object's capture.
#pragma once

#include <filesystem>
#include <memory>
#include <mutex>

#include "interfaces/network_capture.h"
#include "platform/com/object_root.h"
#include "platform/com/interface_table.h"
#include "tools/tcdcapture/packet_capture.h"

namespace Talvaro::CaptureService {

class CContinuousCapture : public platform::com::ObjectRoot, public IContinuousCapture {
 public:
  using Interfaces = platform::com::InterfaceTable<CContinuousCapture, IContinuousCapture>;
  void FinalRelease();  // a capture still running is stopped, its file closed

  HRESULT ReservedMethod3() override { return E_NOTIMPL; }
  HRESULT ReservedMethod4() override { return E_NOTIMPL; }
  HRESULT ReservedMethod5() override { return E_NOTIMPL; }
  HRESULT StartCapture(BSTR network, BSTR filter, ULONG fileSize, LONG dumpCount, BSTR destinationFolder,
                       LONG retentionDays) override;
  HRESULT StopCapture() override;

 private:
  std::mutex lock_;
  std::shared_ptr<DumpRotation> files_;  // guarded by lock_; shared with the capture's sink
  std::unique_ptr<LiveCapture> capture_;  // guarded by lock_
};

class COnDemandCapture : public platform::com::ObjectRoot, public IOnDemandCapture {
 public:
  using Interfaces = platform::com::InterfaceTable<COnDemandCapture, IOnDemandCapture>;
  void FinalRelease();

  HRESULT ReservedMethod3() override { return E_NOTIMPL; }
  HRESULT ReservedMethod4() override { return E_NOTIMPL; }
  HRESULT ReservedMethod5() override { return E_NOTIMPL; }
  HRESULT StartCapture(BSTR network, ULONG bufferSize) override;

 private:
  std::mutex lock_;
  std::shared_ptr<PacketRing> ring_;      // guarded by lock_; also in the flush list
  std::unique_ptr<LiveCapture> capture_;  // guarded by lock_
};

// Where flushes go: <log directory>/captures.
std::filesystem::path FlushFolder();
// Writes the ring of every running on-demand capture to a file of its own; returns the files.
// Any thread (the flush signal's, tcdperfmon's request).
std::vector<std::filesystem::path> FlushAll();

}  // namespace Talvaro::CaptureService
