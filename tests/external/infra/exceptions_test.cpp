#include "external/infra/exceptions.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <typeinfo>
#include <vector>

#include "external/infra/exception_factory.h"

namespace {

constexpr IID kSomeIid = platform::MakeGuid("{6B29FC40-CA47-1067-B31D-00DD010662DA}");

TEST(InfraExceptions, StorageCarriesEitherStatusOrNameAndWhatIsFixed) {
  const Infra::ErrorStorage status(E_FAIL, kSomeIid, L"status message");
  EXPECT_STREQ(status.what(), "Message not specified");
  EXPECT_EQ(status.Kind(), Infra::kComponentModelErrorKind);
  EXPECT_TRUE(status.HasStatusCode());
  EXPECT_EQ(status.StatusCode(), E_FAIL);
  EXPECT_EQ(status.InterfaceId(), kSomeIid);
  EXPECT_EQ(status.Message(), L"status message");

  const Infra::ErrorStorage named(7, L"Transport", 42, L"named message");
  EXPECT_STREQ(named.what(), "Message not specified");
  EXPECT_EQ(named.Kind(), 7);
  EXPECT_FALSE(named.HasStatusCode());
  EXPECT_EQ(named.Name(), L"Transport");
  EXPECT_EQ(named.Identifier(), 42u);

  const Infra::InternalError internal(L"broken");
  EXPECT_EQ(internal.Kind(), Infra::kInfraErrorKind);
  EXPECT_FALSE(internal.HasStatusCode());
  EXPECT_EQ(internal.Name(), L"");
  EXPECT_EQ(internal.Identifier(), 1u);
  EXPECT_STREQ(internal.what(), "Message not specified");
}

TEST(InfraExceptions, MessagesAreCutAt1024Characters) {
  const std::wstring exact(1024, L'a');
  const std::wstring longer = exact + L"bcd";
  EXPECT_EQ(Infra::ErrorStorage(E_FAIL, IID_NULL, longer).Message(), exact);
  EXPECT_EQ(Infra::InternalError(longer).Message(), exact);
  EXPECT_EQ(Infra::ExceptionCOM(E_FAIL, IID_NULL, L"%ls", longer.c_str()).Message(), exact);
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
  EXPECT_EQ(Infra::ExceptionCOM(E_FAIL, IID_NULL).Message(), L"");
  EXPECT_EQ(Infra::Unexpected(L"100%% plain").Message(), L"100% plain");
  // A narrow argument the C locale cannot convert fails expansion: the format stays.
  EXPECT_EQ(Infra::Pointer(L"bad %s", "\xff\xfe").Message(), L"bad %s");
}

template <class T>
void ExpectFixedStatus(HRESULT expected) {
  const T plain;
  EXPECT_EQ(plain.StatusCode(), expected) << typeid(T).name();
  EXPECT_EQ(plain.InterfaceId(), IID_NULL);
  EXPECT_EQ(plain.Kind(), Infra::kComponentModelErrorKind);
  EXPECT_STREQ(plain.what(), "Message not specified");
  const T formatted(L"n=%d", 3);
  EXPECT_EQ(formatted.StatusCode(), expected);
  EXPECT_EQ(formatted.Message(), L"n=3");
}

TEST(InfraExceptions, FixedStatusClassesCarryTheirCodes) {
  ExpectFixedStatus<Infra::NotImplemented>(MakeHresult(0x80004001));
  ExpectFixedStatus<Infra::OutOfMemory>(MakeHresult(0x8007000E));
  ExpectFixedStatus<Infra::Unexpected>(MakeHresult(0x8000FFFF));
  ExpectFixedStatus<Infra::InvalidArg>(MakeHresult(0x80070057));
  ExpectFixedStatus<Infra::NoInterface>(MakeHresult(0x80004002));
  ExpectFixedStatus<Infra::Pointer>(MakeHresult(0x80004003));
  ExpectFixedStatus<Infra::AccessDenied>(MakeHresult(0x80070005));
  ExpectFixedStatus<Infra::ElevationRequired>(MakeHresult(0x800702E4));
}

// ---- Clone / Rethrow ------------------------------------------------------------------------

TEST(InfraExceptions, CloneKeepsTheDynamicTypeAndData) {
  const Infra::AccessDenied original(L"denied %d", 9);
  const Infra::CloneableExceptionBase& asBase = original;
  const auto clone = asBase.Clone();
  ASSERT_NE(clone, nullptr);
  EXPECT_EQ(typeid(*clone), typeid(Infra::AccessDenied));
  const auto& copy = dynamic_cast<const Infra::AccessDenied&>(*clone);
  EXPECT_EQ(copy.Message(), L"denied 9");
  EXPECT_EQ(copy.StatusCode(), E_ACCESSDENIED);

  const Infra::InternalError internal(L"x");
  EXPECT_EQ(typeid(*static_cast<const Infra::CloneableExceptionBase&>(internal).Clone()),
            typeid(Infra::InternalError));
  const Infra::ExceptionBase base(E_FAIL, IID_NULL, L"b");
  EXPECT_EQ(typeid(*base.Clone()), typeid(Infra::ExceptionBase));
}

TEST(InfraExceptions, RethrowOnAnotherThreadKeepsTheType) {
  std::unique_ptr<Infra::CloneableExceptionBase> carried;
  std::thread producer([&] {
    try {
      throw Infra::ElevationRequired(L"need %ls", L"admin");
    } catch (const Infra::CloneableExceptionBase& e) {
      carried = e.Clone();
    }
  });
  producer.join();
  ASSERT_NE(carried, nullptr);
  try {
    carried->Rethrow();
    FAIL() << "Rethrow returned";
  } catch (const Infra::ElevationRequired& e) {
    EXPECT_EQ(e.Message(), L"need admin");
    EXPECT_EQ(e.StatusCode(), E_ELEVATION_REQUIRED);
  }
}

// ---- ExceptionFactory -----------------------------------------------------------------------

template <class T>
void ExpectFactoryThrows(HRESULT code) {
  try {
    Infra::ExceptionFactory::Throw(Infra::ErrorStorage(code, kSomeIid, L"stored"));
    FAIL() << "Throw returned";
  } catch (const Infra::ExceptionCOM& e) {
    EXPECT_EQ(typeid(e), typeid(T));
    EXPECT_EQ(e.Message(), L"stored");
    EXPECT_EQ(e.StatusCode(), code);
    EXPECT_EQ(e.InterfaceId(), kSomeIid);
  }
}

TEST(InfraExceptionFactory, ThrowsTheRegisteredStandardClasses) {
  Infra::RegisterStandardExceptions();
  Infra::RegisterStandardExceptions();  // a second start-up registration is harmless
  ExpectFactoryThrows<Infra::NotImplemented>(E_NOTIMPL);
  ExpectFactoryThrows<Infra::OutOfMemory>(E_OUTOFMEMORY);
  ExpectFactoryThrows<Infra::Unexpected>(E_UNEXPECTED);
  ExpectFactoryThrows<Infra::InvalidArg>(E_INVALIDARG);
  ExpectFactoryThrows<Infra::NoInterface>(E_NOINTERFACE);
  ExpectFactoryThrows<Infra::Pointer>(E_POINTER);
  ExpectFactoryThrows<Infra::AccessDenied>(E_ACCESSDENIED);
  ExpectFactoryThrows<Infra::ElevationRequired>(E_ELEVATION_REQUIRED);

  try {
    Infra::ExceptionFactory::Throw(Infra::ErrorStorage(Infra::kInfraErrorKind, L"", 1, L"int"));
    FAIL() << "Throw returned";
  } catch (const Infra::ExceptionBase& e) {
    EXPECT_EQ(typeid(e), typeid(Infra::InternalError));
    EXPECT_EQ(e.Message(), L"int");
  }
}

TEST(InfraExceptionFactory, UnregisteredErrorsFallBackToTheBaseClasses) {
  Infra::RegisterStandardExceptions();
  try {
    Infra::ExceptionFactory::Throw(Infra::ErrorStorage(MakeHresult(0x80001234), kSomeIid, L"m"));
    FAIL() << "Throw returned";
  } catch (const Infra::ExceptionBase& e) {
    EXPECT_EQ(typeid(e), typeid(Infra::ExceptionCOM));
    EXPECT_EQ(e.StatusCode(), MakeHresult(0x80001234));
    EXPECT_EQ(e.InterfaceId(), kSomeIid);
    EXPECT_EQ(e.Message(), L"m");
  }
  // Same name, other identifier: not the InternalError thrower.
  try {
    Infra::ExceptionFactory::Throw(Infra::ErrorStorage(Infra::kInfraErrorKind, L"", 2, L"n"));
    FAIL() << "Throw returned";
  } catch (const Infra::ExceptionBase& e) {
    EXPECT_EQ(typeid(e), typeid(Infra::ExceptionBase));
    EXPECT_EQ(e.Identifier(), 2u);
    EXPECT_EQ(e.Message(), L"n");
  }
}

class TransportError : public Infra::Cloneable<TransportError, Infra::ExceptionBase> {
 public:
  using Cloneable::Cloneable;
  explicit TransportError(const Infra::ErrorStorage& e) : Cloneable(e) {}
};

class OtherTransportError : public Infra::Cloneable<OtherTransportError, Infra::ExceptionBase> {
 public:
  explicit OtherTransportError(const Infra::ErrorStorage& e) : Cloneable(e) {}
};

TEST(InfraExceptionFactory, NamedThrowersAreFoundAndReplaced) {
  Infra::ExceptionFactory::Register(L"Transport", 5,
                                    [](const Infra::ErrorStorage& e) { throw TransportError(e); });
  EXPECT_THROW(Infra::ExceptionFactory::Throw(Infra::ErrorStorage(3, L"Transport", 5)),
               TransportError);
  // Names compare exactly.
  try {
    Infra::ExceptionFactory::Throw(Infra::ErrorStorage(3, L"transport", 5));
    FAIL() << "Throw returned";
  } catch (const Infra::ExceptionBase& e) {
    EXPECT_EQ(typeid(e), typeid(Infra::ExceptionBase));
  }

  Infra::ExceptionFactory::Register(
      L"Transport", 5, [](const Infra::ErrorStorage& e) { throw OtherTransportError(e); });
  EXPECT_THROW(Infra::ExceptionFactory::Throw(Infra::ErrorStorage(3, L"Transport", 5)),
               OtherTransportError);
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
          } catch (const Infra::Pointer&) {
          } catch (const Infra::ExceptionCOM&) {
            // Before the first registration: the plain fallback. Both are fine.
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
