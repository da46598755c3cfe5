// Hostile input for a server's socket: garbage, broken framing, and well-framed RPC messages
// that name questions, imports and methods that do not exist or carry parameters of the wrong
// shape. Each stream is meant for a connection of its own.
#pragma once

#include <string>
#include <vector>

namespace Talvaro::RemotingTest {

std::vector<std::string> HostileStreams();

// Connects to the Unix socket at `path`, sends `bytes` and closes after the server had a moment
// to react (or closed first). False when no connection could be made.
bool SendHostile(const std::string& path, const std::string& bytes);

// A connection that sends the start of a frame and then nothing; closes on destruction.
class StalledConnection {
 public:
  explicit StalledConnection(const std::string& path);
  ~StalledConnection();
  StalledConnection(const StalledConnection&) = delete;
  StalledConnection& operator=(const StalledConnection&) = delete;
  bool Connected() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

}  // namespace Talvaro::RemotingTest
