#include "external/sharedmemory/private_namespace.h"

#include <atomic>
#include <chrono>
#include <thread>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <utility>

#include "external/sharedmemory/exceptions.h"
#include "external/sharedmemory/name_janitor.h"

namespace SharedMemoryTransport {
namespace {

constexpr std::uint64_t kNamespaceMagic = 0x315350534E444354;  // "TCDNSPS1"

// The namespace object's content. The creator writes everything before the magic.
struct NamespaceRecord {
  std::atomic<std::uint64_t> magic;
  Detail::SharedStamp creator;
};

// A short, stable digest of the scope (TALVARO_SHM_SCOPE, see the header) and the boundary name,
// so that namespaces with one alias prefix and different boundaries or scopes get different
// names without the boundary's length in every channel name. Without a scope the digest is the
// boundary's alone.
std::wstring BoundaryDigest(const std::wstring& boundaryName) {
  std::uint64_t hash = 0xcbf29ce484222325;
  const auto mix = [&hash](std::uint32_t byte) {
    hash ^= byte & 0xFF;
    hash *= 0x100000001b3;
  };
  if (const char* scope = std::getenv("TALVARO_SHM_SCOPE"); scope != nullptr && *scope != '\0') {
    for (const char* c = scope; *c != '\0'; ++c) mix(static_cast<unsigned char>(*c));
    mix(0);
  }
  for (const wchar_t c : boundaryName) {
    for (int shift = 0; shift < 32; shift += 8) mix(static_cast<std::uint32_t>(c) >> shift);
  }
  wchar_t digits[17];
  std::swprintf(digits, 17, L"%016llx", static_cast<unsigned long long>(hash));
  return digits;
}

std::wstring PrefixOf(const std::wstring& boundaryName, const std::wstring& aliasPrefix) {
  return L"tcd." + aliasPrefix + L"." + BoundaryDigest(boundaryName);
}

const NamespaceRecord& RecordOf(const Detail::SharedObject& object) {
  return *static_cast<const NamespaceRecord*>(object.Address());
}

// Whether an existing namespace object belongs to a live creator. One still being created has no
// magic yet and is given a moment; `object` keeps the inspected one, so that only it is removed.
bool HeldByLiveCreator(const std::string& name, Detail::SharedObject* object) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  for (;;) {
    try {
      *object = Detail::SharedObject::Open(name, sizeof(NamespaceRecord));
      const auto& record = RecordOf(*object);
      if (record.magic.load(std::memory_order_acquire) == kNamespaceMagic) return record.creator.Load().Alive();
    } catch (const sharedmemory_runtime_error&) {
      // Not there, or not sized yet.
    }
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

}  // namespace

CPrivateNamespace::CPrivateNamespace(Detail::SharedObject object, std::string objectName, std::wstring prefix,
                                     bool creator)
    : object_(std::move(object)), objectName_(std::move(objectName)), prefix_(std::move(prefix)), creator_(creator) {}

CPrivateNamespace CPrivateNamespace::CreatePrivateNamespaceW(const CSecurityAttributes& attributes,
                                                             const std::wstring& boundaryName,
                                                             const std::wstring& aliasPrefix) {
  std::wstring prefix = PrefixOf(boundaryName, aliasPrefix);
  std::string name = Detail::ObjectName(prefix);
  // A second attempt after taking over the object of a creator that died.
  for (int attempt = 0; attempt < 2; ++attempt) {
    Detail::SharedObject object;
    switch (Detail::SharedObject::Create(name, sizeof(NamespaceRecord), attributes.Mode(), &object)) {
      case Detail::SharedObject::Outcome::Created: {
        auto* record = new (object.Address()) NamespaceRecord{};
        record->creator.Store(Detail::ProcessStamp::Self());
        record->magic.store(kNamespaceMagic, std::memory_order_release);
        return CPrivateNamespace(std::move(object), std::move(name), std::move(prefix), true);
      }
      case Detail::SharedObject::Outcome::Exists: {
        Detail::SharedObject found;
        if (HeldByLiveCreator(name, &found)) {
          throw resource_already_used_error("the private namespace " + name + " is held by a running process");
        }
        found.UnlinkIfStillNamed(name);  // its creator died
        break;
      }
      case Detail::SharedObject::Outcome::Failed:
        throw sharedmemory_runtime_error("cannot create the private namespace " + name);
    }
  }
  throw resource_already_used_error("the private namespace " + name + " was taken while it was being created");
}

CPrivateNamespace CPrivateNamespace::OpenPrivateNamespaceW(const std::wstring& boundaryName,
                                                           const std::wstring& aliasPrefix) {
  std::wstring prefix = PrefixOf(boundaryName, aliasPrefix);
  std::string name = Detail::ObjectName(prefix);
  auto object = Detail::SharedObject::Open(name, sizeof(NamespaceRecord));
  const auto& record = RecordOf(object);
  if (record.magic.load(std::memory_order_acquire) != kNamespaceMagic || !record.creator.Load().Alive()) {
    throw sharedmemory_runtime_error("the private namespace " + name + " has no running creator");
  }
  return CPrivateNamespace(std::move(object), std::move(name), std::move(prefix), false);
}

CPrivateNamespace::CPrivateNamespace(CPrivateNamespace&& other) noexcept
    : object_(std::move(other.object_)),
      objectName_(std::move(other.objectName_)),
      prefix_(std::move(other.prefix_)),
      creator_(std::exchange(other.creator_, false)) {}

CPrivateNamespace& CPrivateNamespace::operator=(CPrivateNamespace&& other) noexcept {
  if (this != &other) {
    LetGo();
    object_ = std::move(other.object_);
    objectName_ = std::move(other.objectName_);
    prefix_ = std::move(other.prefix_);
    creator_ = std::exchange(other.creator_, false);
  }
  return *this;
}

CPrivateNamespace::~CPrivateNamespace() { LetGo(); }

void CPrivateNamespace::LetGo() noexcept {
  if (creator_) {
    object_.UnlinkIfStillNamed(objectName_);
  } else if (object_.Address() != nullptr) {
    // A creator that is killed never removes its namespace: whoever opened it does, once the
    // creator is seen dead (short of memory, the next creator takes the name over instead).
    const Detail::SharedStamp* creator = &RecordOf(object_).creator;
    try {
      Detail::RemoveWhenPeerEnds(std::move(object_), objectName_, nullptr, creator);
    } catch (const std::exception&) {
    }
  }
}

}  // namespace SharedMemoryTransport
