// Where performance monitoring takes its settings from: IConfigProvider, and the registry's
// HKLM "SOFTWARE\TALVARO\ORBIQ\PerformanceMonitoring", read once when a provider is made.
#pragma once

#include <cstdint>
#include <string>

namespace Talvaro::Orbiq::Utils::PerformanceMonitoring {

class IConfigProvider {
 public:
  virtual ~IConfigProvider() = default;
  virtual bool GetRepeatEtwFlushing() = 0;
  virtual std::uint32_t GetCommunicationDelayThresholdInMs() = 0;
  virtual bool IsEnabled() = 0;
};

// Reads "CommunicationDelayThresholdInMs", "RepeatEtwFlushing" and "Enabled", in that order,
// each through a 4-byte buffer whatever type the registry holds; a value that cannot be read
// keeps its default (500, false, false), silently. The getters never read the registry again,
// so any thread may call them.
class RegistryConfigProvider final : public IConfigProvider {
 public:
  RegistryConfigProvider();

  bool GetRepeatEtwFlushing() override { return repeatEtwFlushing_; }
  std::uint32_t GetCommunicationDelayThresholdInMs() override { return communicationDelayThresholdInMs_; }
  bool IsEnabled() override { return enabled_; }

 private:
  std::uint32_t communicationDelayThresholdInMs_ = 500;
  bool repeatEtwFlushing_ = false;
  bool enabled_ = false;
  std::wstring baseKeyPath_ = L"SOFTWARE\\TALVARO\\ORBIQ";
  std::wstring keyPath_ = baseKeyPath_ + L"\\PerformanceMonitoring";
};

}  // namespace Talvaro::Orbiq::Utils::PerformanceMonitoring
