#include "tools/tcdcapture/capture_objects.h"

#include <algorithm>
#include <vector>

#include "external/logging/logger.h"
#include "platform/com/com_ptr.h"
#include "platform/com/error_info.h"
#include "platform/types/wide_string.h"

namespace Talvaro::CaptureService {
namespace {

// The running on-demand rings, for FlushAll.
std::mutex ringsLock;
std::vector<std::weak_ptr<PacketRing>> rings;  // guarded by ringsLock

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
  std::vector<std::shared_ptr<PacketRing>> running;
  {
    std::lock_guard guard(ringsLock);
    std::erase_if(rings, [](const auto& ring) { return ring.expired(); });
    for (const auto& ring : rings) {
      if (auto held = ring.lock()) running.push_back(std::move(held));
    }
  }
  std::vector<std::filesystem::path> files;
  for (const auto& ring : running) {
    try {
      files.push_back(ring->Flush(FlushFolder()));
    } catch (const CaptureError&) {
      // The folder cannot be written: the caller sees no file of that ring.
    }
  }
  return files;
}

HRESULT CContinuousCapture::StartCapture(BSTR network, BSTR filter, ULONG fileSize, LONG dumpCount,
                                         BSTR destinationFolder, LONG retentionDays) {
  std::lock_guard guard(lock_);
  if (capture_) return Fail(kBusy, "a capture is running already");
  try {
    auto capture = std::make_unique<LiveCapture>(InterfaceForNetwork(Narrow(network)), Narrow(filter));
    auto files = std::make_shared<DumpRotation>(Narrow(destinationFolder), fileSize, dumpCount, retentionDays,
                                                capture->LinkType());
    capture->Start([files](const pcap_pkthdr& header, const unsigned char* bytes) { files->Write(header, bytes); });
    files_ = std::move(files);
    capture_ = std::move(capture);
  } catch (const CaptureError& failure) {
    return Fail(static_cast<HRESULT>(failure.Code()), failure.what());
  }
  return S_OK;
}

HRESULT CContinuousCapture::StopCapture() {
  std::lock_guard guard(lock_);
  capture_.reset();  // no packet comes after it
  if (files_) files_->Close();
  files_ = nullptr;
  return S_OK;
}

void CContinuousCapture::FinalRelease() { StopCapture(); }

HRESULT COnDemandCapture::StartCapture(BSTR network, ULONG bufferSize) {
  std::lock_guard guard(lock_);
  if (capture_) return Fail(kBusy, "a capture is running already");
  try {
    auto capture = std::make_unique<LiveCapture>(InterfaceForNetwork(Narrow(network)), "");
    auto ring = std::make_shared<PacketRing>(bufferSize, capture->LinkType());
    capture->Start([ring](const pcap_pkthdr& header, const unsigned char* bytes) { ring->Add(header, bytes); });
    {
      std::lock_guard listGuard(ringsLock);
      rings.push_back(ring);
    }
    ring_ = std::move(ring);
    capture_ = std::move(capture);
  } catch (const CaptureError& failure) {
    return Fail(static_cast<HRESULT>(failure.Code()), failure.what());
  }
  return S_OK;
}

void COnDemandCapture::FinalRelease() {
  std::lock_guard guard(lock_);
  capture_.reset();
  ring_ = nullptr;
}

}  // namespace Talvaro::CaptureService
