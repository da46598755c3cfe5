#include "external/infra/exceptions.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <typeinfo>
#include <vector>

#include "external/infra/exception_factory.h"

namespace {

constexpr IID kSomeIid = platform::MakeGuid("{6B29FC40-CA47-1067-B31D-00DD010662DA}");

// What ExceptionFactory::Throw raises for `error`: a copy with its dynamic type.
std::unique_ptr<Infra::ExceptionBase> Raised(const Infra::ErrorStorage& error) {
  try {
    Infra::ExceptionFactory::Throw(error);
  } catch (const Infra::ExceptionBase& e) {
    return std::unique_ptr<Infra::ExceptionBase>(dynamic_cast<Infra::ExceptionBase*>(e.Clone().release()));
  }
  return nullptr;
}

TEST(InfraExceptions, StorageCarriesEitherStatusOrNameAndWhatIsFixed) {
  const Infra::ErrorStorage named(7, L"Transport", 42);
  EXPECT_EQ(named.Kind(), 7);
  EXPECT_FALSE(named.HasStatusCode());
  const Infra::InternalError internal(L"broken");
  EXPECT_EQ(internal.Kind(), Infra::kInfraErrorKind);
  EXPECT_FALSE(internal.HasStatusCode());
  EXPECT_EQ(internal.Name(), L"");
  EXPECT_EQ(internal.Identifier(), 1u);
  const Infra::ErrorStorage status(E_FAIL, kSomeIid);
  for (const Infra::ErrorStorage* e : {&named, &status, static_cast<const Infra::ErrorStorage*>(&internal)}) {
    EXPECT_STREQ(e->what(), "Message not specified");
  }
}

TEST(InfraExceptions, MessagesAreCutAt1024Characters) {
  const std::wstring exact(1024, L'a');
  const std::wstring longer = exact + L"bcd";
  EXPECT_EQ(Infra::ErrorStorage(E_FAIL, IID_NULL, longer).Message(), exact);
  EXPECT_EQ(Infra::InternalError(longer).Message(), exact);
  EXPECT_EQ(Infra::InvalidArg(L"%ls%ls", exact.c_str(), L"tail").Message(), exact);
  Infra::ErrorStorage storage;
  storage.SetMessage(longer);
  EXPECT_EQ(storage.Message(), exact);
  // Far beyond the first formatting buffer still formats, then is cut.
  const std::wstring huge(20000, L'z');
  EXPECT_EQ(Infra::Unexpected(L"%ls", huge.c_str()).Message(), std::wstring(1024, L'z'));
}

TEST(InfraExceptions, ExceptionComFormatsPrintfStyle) {
  const Infra::ExceptionCOM error(E_ACCESSDENIED, kSomeIid, L"Open %ls failed: %d (0x%08X) %s",
                                  L"unit\u00e4", -5, 0x8007000Eu, "narrow");
  EXPECT_EQ(error.Message(), L"Open unit\u00e4 failed: -5 (0x8007000E) narrow");
  EXPECT_EQ(error.StatusCode(), E_ACCESSDENIED);
  EXPECT_EQ(error.InterfaceId(), kSomeIid);
  EXPECT_EQ(Infra::Unexpected(L"100%% plain").Message(), L"100% plain");
  // A narrow argument the C locale cannot convert fails expansion: the format stays.
  EXPECT_EQ(Infra::Pointer(L"bad %s", "\xff\xfe").Message(), L"bad %s");
}

// A fixed-status class: its code with the null IID, plain or formatted, and the class the
// factory raises for a stored error of that code, keeping the stored message and IID.
template <class T>
void ExpectFixedStatus(HRESULT expected) {
  SCOPED_TRACE(typeid(T).name());
  const T plain;
  EXPECT_EQ(plain.StatusCode(), expected);
  EXPECT_EQ(plain.InterfaceId(), IID_NULL);
  EXPECT_EQ(plain.Kind(), Infra::kComponentModelErrorKind);
  const T formatted(L"n=%d", 3);
  EXPECT_EQ(formatted.StatusCode(), expected);
  EXPECT_EQ(formatted.Message(), L"n=3");
  const auto raised = Raised(Infra::ErrorStorage(expected, kSomeIid, L"stored"));
  ASSERT_NE(raised, nullptr);
  EXPECT_EQ(typeid(*raised), typeid(T));
  EXPECT_EQ(raised->Message(), L"stored");
  EXPECT_EQ(raised->InterfaceId(), kSomeIid);
}

TEST(InfraExceptions, FixedStatusClassesCarryTheirCodesAndTheFactoryRaisesThem) {
  Infra::RegisterStandardExceptions();
  Infra::RegisterStandardExceptions();  // a second start-up registration is harmless
  ExpectFixedStatus<Infra::NotImplemented>(MakeHresult(0x80004001));
  ExpectFixedStatus<Infra::OutOfMemory>(MakeHresult(0x8007000E));
  ExpectFixedStatus<Infra::Unexpected>(MakeHresult(0x8000FFFF));
  ExpectFixedStatus<Infra::InvalidArg>(MakeHresult(0x80070057));
  ExpectFixedStatus<Infra::NoInterface>(MakeHresult(0x80004002));
  ExpectFixedStatus<Infra::Pointer>(MakeHresult(0x80004003));
  ExpectFixedStatus<Infra::AccessDenied>(MakeHresult(0x80070005));
  ExpectFixedStatus<Infra::ElevationRequired>(MakeHresult(0x800702E4));
  const auto internal = Raised(Infra::ErrorStorage(Infra::kInfraErrorKind, L"", 1, L"int"));
  EXPECT_EQ(typeid(*internal), typeid(Infra::InternalError));
  EXPECT_EQ(internal->Message(), L"int");
}

TEST(InfraExceptionFactory, UnregisteredErrorsFallBackToTheBaseClasses) {
  Infra::RegisterStandardExceptions();
  const auto status = Raised(Infra::ErrorStorage(MakeHresult(0x80001234), kSomeIid, L"m"));
  EXPECT_EQ(typeid(*status), typeid(Infra::ExceptionCOM));
  EXPECT_EQ(status->StatusCode(), MakeHresult(0x80001234));
  EXPECT_EQ(status->InterfaceId(), kSomeIid);
  EXPECT_EQ(status->Message(), L"m");
  // Same name, other identifier: not the InternalError thrower.
  const auto named = Raised(Infra::ErrorStorage(Infra::kInfraErrorKind, L"", 2, L"n"));
  EXPECT_EQ(typeid(*named), typeid(Infra::ExceptionBase));
  EXPECT_EQ(named->Identifier(), 2u);
  EXPECT_EQ(named->Message(), L"n");
}

class TransportError : public Infra::Cloneable<TransportError, Infra::ExceptionBase> {
 public:
  explicit TransportError(const Infra::ErrorStorage& e) : Cloneable(e) {}
};

class OtherTransportError : public Infra::Cloneable<OtherTransportError, Infra::ExceptionBase> {
 public:
  explicit OtherTransportError(const Infra::ErrorStorage& e) : Cloneable(e) {}
};

TEST(InfraExceptionFactory, NamedThrowersAreFoundAndReplaced) {
  Infra::ExceptionFactory::Register(L"Transport", 5,
                                    [](const Infra::ErrorStorage& e) { throw TransportError(e); });
  EXPECT_EQ(typeid(*Raised(Infra::ErrorStorage(3, L"Transport", 5))), typeid(TransportError));
  // Names compare exactly.
  EXPECT_EQ(typeid(*Raised(Infra::ErrorStorage(3, L"transport", 5))), typeid(Infra::ExceptionBase));
  Infra::ExceptionFactory::Register(
      L"Transport", 5, [](const Infra::ErrorStorage& e) { throw OtherTransportError(e); });
  EXPECT_EQ(typeid(*Raised(Infra::ErrorStorage(3, L"Transport", 5))), typeid(OtherTransportError));
}

TEST(InfraExceptionFactory, RegisterAndThrowRaceFree) {
  std::atomic<int> wrongType{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        if (t % 2 == 0) {
          Infra::RegisterStandardExceptions();
          Infra::ExceptionFactory::Register(
              L"Race", static_cast<DWORD>(i),
              [](const Infra::ErrorStorage& e) { throw TransportError(e); });
        } else {
          try {
            Infra::ExceptionFactory::Throw(Infra::ErrorStorage(E_POINTER, IID_NULL));
          } catch (const Infra::ExceptionCOM&) {
            // Infra::Pointer, or before the first registration the plain fallback.
          } catch (...) {
            ++wrongType;
          }
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(wrongType.load(), 0);
}

}  // namespace
