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

// One object's capture, shared with the list of running captures, so that the service's end
// stops it too and flushes find its ring. `lock` guards the rest.
struct RunningCapture {
  std::mutex lock;
  std::unique_ptr<LiveCapture> capture;
  std::shared_ptr<DumpRotation> files;  // continuous
  std::shared_ptr<PacketRing> ring;     // flush-on-demand
  // Ends the capture (what the kernel holds still goes to the files) and closes its file.
  void Stop();
};

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
  const std::shared_ptr<RunningCapture> running_ = std::make_shared<RunningCapture>();
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
  const std::shared_ptr<RunningCapture> running_ = std::make_shared<RunningCapture>();
};

// Where flushes go: <log directory>/captures.
std::filesystem::path FlushFolder();
// Writes the ring of every running on-demand capture to a file of its own; returns the files.
// Any thread (the flush signal's, on tcdcapture --flush and tcdperfmon's requests).
std::vector<std::filesystem::path> FlushAll();
// Stops every running capture: the service's end.
void StopAll();

}  // namespace Talvaro::CaptureService
