// The driver object's side of the shared-memory connector: the configuration it reads at
// construction, the link it creates with its client in Initialize, and the two data paths
// (hardware data to the data channel, the client's write channel to the hardware).
#include <limits>

#include "common/registry_readers.h"
#include "connector/server_namespace.h"
#include "driver/communication_driver.h"
#include "external/hardware/orbiq_result.h"
#include "external/infra/string_converter.h"
#include "external/sharedmemory/exceptions.h"
#include "external/sharedmemory/private_namespace.h"

namespace Talvaro::Driver {
namespace {

namespace Transport = SharedMemoryTransport;

const std::wstring kConnectorKeyPath = L"SOFTWARE\\TALVARO\\Nimbrel\\TalvaroCommunicationDriver";

std::wstring Described(const std::wstring& message, const std::exception& failure) {
  return message + L" (" + Infra::ToWide(failure.what()) + L")";
}

}  // namespace

void CCommunicationDriver::ReadConnectorConfiguration() {
  DWORD kilobytes = 0;
  // A product beyond the signed 32-bit range keeps the default rather than wrap.
  if (Common::ReadRegistryDword(L"SharedMemorySizeInkB", kConnectorKeyPath, kilobytes) &&
      kilobytes <= static_cast<DWORD>(std::numeric_limits<std::int32_t>::max() / kilobyteFactor_)) {
    sharedMemorySize_ = static_cast<std::int32_t>(kilobytes) * kilobyteFactor_;
  }
  std::wstring connectorType;
  if (Common::ReadRegistryString(L"ConnectorType", kConnectorKeyPath, connectorType)) {
    sharedMemory_ = connectorType == L"SHARED_MEMORY";
  }
}

E_ORBIQLIB_Result CCommunicationDriver::CreateAndLinkSharedMemoryWithClient() {
  try {
    const Transport::CSecurityAttributes attributes(Connector::kServerSecurityDescriptor);
    const auto size = static_cast<std::size_t>(static_cast<std::ptrdiff_t>(sharedMemorySize_));

    auto dataProducer = std::make_shared<Transport::CSharedMemoryProducer>(
        attributes, Connector::GetServerNamespaceName(), channelBaseName_ + Connector::kDataChannelSuffix, size);
    {
      std::lock_guard guard(dataChannelLock_);
      dataProducer_ = std::move(dataProducer);
    }
    linked_.store(true);

    {
      const auto clientNamespace = Transport::CPrivateNamespace::OpenPrivateNamespaceW(
          Connector::kClientBoundaryPrefix + clientNamespaceName_, clientNamespaceName_);
      writeConsumer_ = std::make_shared<Connector::SharedMemoryConsumerWrapper>(
          clientNamespace.Name(), channelBaseName_ + Connector::kWriteChannelSuffix,
          [this](const unsigned char* payload, std::size_t length, long trailer) {
            OnWriteData(payload, length, trailer);
          },
          size);
    }  // the consumer keeps its channel open by itself

    livelinessProducer_ = std::make_shared<Transport::CSharedMemoryProducer>(
        attributes, Connector::GetServerNamespaceName(), channelBaseName_ + Connector::kLivelinessChannelSuffix,
        static_cast<std::size_t>(livelinessChannelSize_));

    std::wstring checkName;
    {
      std::lock_guard guard(namesLock_);
      checkName = logicalName_ + L"_" + applicationName_;
    }
    livelinessCheck_ = std::make_shared<Connector::SharedMemoryLivelinessCheck>(
        livelinessProducer_, std::move(checkName), [this] { OnClientDead(); });
    return ORBIQLIB_SUCCESS;
  } catch (const Transport::resource_already_used_error& failure) {
    LogError(Described(L"Creating shared memory failed - identification already used", failure));
  } catch (const Transport::map_memory_view_error& failure) {
    LogError(Described(L"Creating shared memory failed - map memory view error", failure));
  } catch (const Transport::sharedmemory_runtime_error& failure) {
    LogError(Described(L"Creating shared memory failed - unexpected error", failure));
  }
  return ORBIQLIB_SERVER_E_REGISTRATION;
}

void CCommunicationDriver::OnClientDead() {
  // A verdict while the object is being destroyed leaves it alone (the destructor ends the
  // check). Otherwise its reference may be the last: the object then ends here, after Cleanup,
  // and ends this check from inside it.
  const auto alive = HoldIfAlive();
  if (alive) Cleanup();
}

void CCommunicationDriver::WriteDataToSharedMemory(const unsigned char* data, const unsigned int& count) {
  if (!linked_.load()) return;
  std::unique_lock guard(dataChannelLock_, std::try_to_lock);
  if (!guard) {
    LogError(L"Write to shared memory failed - Shared memory is already in use by another process");
    return;
  }
  if (!dataProducer_) return;
  try {
    dataProducer_->SendData(data, count, -1);
  } catch (const Transport::buffer_too_small_error& failure) {
    LogError(Described(L"Write to shared memory failed - buffer is too small", failure));
  } catch (const Transport::send_timeout_error& failure) {
    LogError(Described(L"Write to shared memory timeout", failure));
  } catch (const Transport::client_not_responding_error& failure) {
    LogError(Described(L"Write to shared memory failed - client not responding", failure));
  } catch (const std::runtime_error& failure) {
    LogError(Described(L"Write to shared memory failed with unknown error", failure));
  }
}

void CCommunicationDriver::OnWriteData(const unsigned char* payload, std::size_t length, long trailer) {
  // A reference for the write: the hardware may ask this object's restriction observer on its
  // own thread meanwhile, and a last release there must not wait for this thread, which waits
  // for the answer. Released last, the object may end here (the write channel's reader then
  // ends on a thread of its own). A share of the attachment: Cleanup may detach meanwhile, the
  // hardware stays open until the write has returned.
  const auto alive = HoldIfAlive();
  if (!alive) return;
  const auto attachment = Attachment();
  if (!attachment || attachment->DataTransfer() == nullptr) return;
  const auto count = static_cast<unsigned int>(length);
  const E_ORBIQLIB_Result written = performanceTools_->MeasureExecutionRetVal<E_ORBIQLIB_Result>(
      L"CCommunicationDriver::OnWriteData - " + BuildLogTag(), [&] {
        return attachment->DataTransfer()->Write(payload, count, static_cast<int>(trailer),
                                                 static_cast<IRestrictionObserver*>(this));
      });
  if (written < 0) {
    LogError(L"Write failed - " + OrbiqCommunicationLibrary::TranslateErrorCode(written) + L" (" +
             std::to_wstring(written) + L")");
    return;
  }
  NotifyWatchers(payload, count);
}

}  // namespace Talvaro::Driver
