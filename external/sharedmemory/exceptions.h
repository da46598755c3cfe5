// The failures of the shared-memory transport. Every one is a std::runtime_error with a narrow
// text saying what went wrong; callers catch the specific types before the general one.
#pragma once

#include <stdexcept>

namespace SharedMemoryTransport {

// Any failure to create or open an object that has no type of its own below.
class sharedmemory_runtime_error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A name to be created is in use by a live object.
class resource_already_used_error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The channel's memory cannot be mapped.
class map_memory_view_error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The message is larger than the channel's size.
class buffer_too_small_error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The message was not taken within the send's time-out.
class send_timeout_error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The reading side has died, detached, never attached in time, or stopped taking messages.
class client_not_responding_error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace SharedMemoryTransport
