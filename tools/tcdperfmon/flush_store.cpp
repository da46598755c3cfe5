#include "tools/tcdperfmon/flush_store.h"

#include <algorithm>
#include <chrono>
#include <fstream>
#include <vector>

#include <fmt/chrono.h>
#include <fmt/format.h>

#include "platform/types/wide_string.h"

namespace Talvaro::PerformanceMonitorService {
namespace {

namespace fs = std::filesystem;

// "20261206-134502.123": sorts by time; a second flush in the same millisecond gets "-2", ...
std::string TimeStamp() {
  const auto now = std::chrono::system_clock::now();
  const auto milliseconds =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  return fmt::format("{:%Y%m%d-%H%M%S}.{:03d}", fmt::localtime(std::chrono::system_clock::to_time_t(now)),
                     milliseconds);
}

}  // namespace

FlushStore::FlushStore(fs::path logDirectory, std::size_t kept)
    : logDirectory_(std::move(logDirectory)), flushes_(logDirectory_ / "flushes"), kept_(std::max<std::size_t>(kept, 1)) {}

fs::path FlushStore::Flush(const std::wstring& request, std::error_code& error) const {
  error.clear();
  fs::create_directories(flushes_, error);
  if (error) return {};
  const std::string stamp = TimeStamp();
  fs::path folder = flushes_ / stamp;
  for (int suffix = 2; !fs::create_directory(folder, error); ++suffix) {
    if (error) return {};
    folder = flushes_ / (stamp + "-" + std::to_string(suffix));
  }
  for (const auto& entry : fs::directory_iterator(logDirectory_, error)) {
    if (!entry.is_regular_file()) continue;
    fs::copy_file(entry.path(), folder / entry.path().filename(), error);
    if (error) break;
  }
  if (!error) {
    std::ofstream text(folder / "request.txt", std::ios::binary);
    text << platform::ToUtf8(request) << '\n';
    if (!text.flush()) error = std::make_error_code(std::errc::io_error);
  }
  if (error) {
    std::error_code ignored;
    fs::remove_all(folder, ignored);
    return {};
  }
  RemoveOldest();
  return folder;
}

void FlushStore::RemoveOldest() const {
  std::error_code error;
  std::vector<fs::path> folders;
  for (const auto& entry : fs::directory_iterator(flushes_, error)) {
    if (entry.is_directory()) folders.push_back(entry.path());
  }
  if (folders.size() <= kept_) return;
  std::sort(folders.begin(), folders.end());  // time stamps: oldest first
  for (std::size_t i = 0; i + kept_ < folders.size(); ++i) fs::remove_all(folders[i], error);
}

}  // namespace Talvaro::PerformanceMonitorService
