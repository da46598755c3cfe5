#include "tools/tcdcapture/capture_objects.h"

#include <algorithm>
#include <vector>

#include "external/logging/logger.h"
#include "platform/com/com_ptr.h"
#include "platform/com/error_info.h"
#include "platform/types/wide_string.h"

namespace Talvaro::CaptureService {
namespace {

// The captures started, for FlushAll and StopAll.
std::mutex runningLock;
std::vector<std::weak_ptr<RunningCapture>> runningCaptures;  // guarded by runningLock

std::vector<std::shared_ptr<RunningCapture>> Running() {
  std::lock_guard guard(runningLock);
  std::erase_if(runningCaptures, [](const auto& entry) { return entry.expired(); });
  std::vector<std::shared_ptr<RunningCapture>> running;
  for (const auto& entry : runningCaptures) {
    if (auto held = entry.lock()) running.push_back(std::move(held));
  }
  return running;
}

void Track(const std::shared_ptr<RunningCapture>& running) {
  std::lock_guard guard(runningLock);
  const bool known = std::any_of(runningCaptures.begin(), runningCaptures.end(),
                                 [&](const auto& entry) { return entry.lock() == running; });
  if (!known) runningCaptures.push_back(running);
}

std::string Narrow(BSTR text) { return platform::ToUtf8(text != nullptr ? text : L""); }

// Leaves `what` as the calling thread's error information and answers `code`.
HRESULT Fail(HRESULT code, const std::string& what) {
  platform::com::ComPtr<ICreateErrorInfo> created;
  platform::com::ComPtr<IErrorInfo> info;
  if (SUCCEEDED(CreateErrorInfo(created.Put()))) {
    const std::wstring text = platform::FromUtf8(what);
    created->SetDescription(text.c_str());
    created->SetSource(L"tcdcapture");
    created.As(&info);
  }
  SetErrorInfo(0, info.Get());
  return code;
}

constexpr HRESULT kBusy = static_cast<HRESULT>(0x8000FFFF);  // E_UNEXPECTED

}  // namespace

std::filesystem::path FlushFolder() { return Logging::LogDirectory() / "captures"; }

std::vector<std::filesystem::path> FlushAll() {
  std::vector<std::filesystem::path> files;
  for (const auto& running : Running()) {
    std::shared_ptr<PacketRing> ring;
    {
      std::lock_guard guard(running->lock);
      ring = running->ring;
    }
    if (!ring) continue;
    try {
      files.push_back(ring->Flush(FlushFolder()));
    } catch (const std::exception&) {
      // The folder cannot be written: the caller sees no file of that ring.
    }
  }
  return files;
}

void StopAll() {
  for (const auto& running : Running()) running->Stop();
}

void RunningCapture::Stop() {
  std::lock_guard guard(lock);
  capture.reset();  // no packet comes after it
  if (files) files->Close();
  files = nullptr;
  ring = nullptr;
}

HRESULT CContinuousCapture::StartCapture(BSTR network, BSTR filter, ULONG fileSize, LONG dumpCount,
                                         BSTR destinationFolder, LONG retentionDays) {
  std::lock_guard guard(running_->lock);
  if (running_->capture) return Fail(kBusy, "a capture is running already");
  try {
    auto capture = std::make_unique<LiveCapture>(InterfaceForNetwork(Narrow(network)), Narrow(filter));
    auto files = std::make_shared<DumpRotation>(Narrow(destinationFolder), fileSize, dumpCount, retentionDays,
                                                capture->LinkType());
    capture->Start([files](const pcap_pkthdr& header, const unsigned char* bytes) { files->Write(header, bytes); });
    running_->files = std::move(files);
    running_->capture = std::move(capture);
  } catch (const CaptureError& failure) {
    return Fail(static_cast<HRESULT>(failure.Code()), failure.what());
  } catch (const std::exception& failure) {
    return Fail(E_FAIL, failure.what());
  }
  Track(running_);
  return S_OK;
}

HRESULT CContinuousCapture::StopCapture() {
  running_->Stop();
  return S_OK;
}

void CContinuousCapture::FinalRelease() { running_->Stop(); }

HRESULT COnDemandCapture::StartCapture(BSTR network, ULONG bufferSize) {
  std::lock_guard guard(running_->lock);
  if (running_->capture) return Fail(kBusy, "a capture is running already");
  try {
    auto capture = std::make_unique<LiveCapture>(InterfaceForNetwork(Narrow(network)), "");
    auto ring = std::make_shared<PacketRing>(bufferSize, capture->LinkType());
    capture->Start([ring](const pcap_pkthdr& header, const unsigned char* bytes) { ring->Add(header, bytes); });
    running_->ring = std::move(ring);
    running_->capture = std::move(capture);
  } catch (const CaptureError& failure) {
    return Fail(static_cast<HRESULT>(failure.Code()), failure.what());
  } catch (const std::exception& failure) {
    return Fail(E_FAIL, failure.what());
  }
  Track(running_);
  return S_OK;
}

void COnDemandCapture::FinalRelease() { running_->Stop(); }

}  // namespace Talvaro::CaptureService
