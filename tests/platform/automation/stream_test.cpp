#include "platform/automation/stream.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/com/com_ptr.h"

namespace platform::automation {
namespace {

using com::ComPtr;

LARGE_INTEGER Offset(LONGLONG value) {
  LARGE_INTEGER result;
  result.QuadPart = value;
  return result;
}

ULARGE_INTEGER Size(ULONGLONG value) {
  ULARGE_INTEGER result;
  result.QuadPart = value;
  return result;
}

ComPtr<IStream> NewStream() {
  ComPtr<IStream> stream;
  EXPECT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, stream.Put()), S_OK);
  return stream;
}

void WriteText(IStream* stream, const std::string& text) {
  ULONG written = 0;
  ASSERT_EQ(stream->Write(text.data(), static_cast<ULONG>(text.size()), &written), S_OK);
  ASSERT_EQ(written, text.size());
}

ULONGLONG Position(IStream* stream) {
  ULARGE_INTEGER position{};
  EXPECT_EQ(stream->Seek(Offset(0), STREAM_SEEK_CUR, &position), S_OK);
  return position.QuadPart;
}

std::string ReadAll(IStream* stream) {
  EXPECT_EQ(stream->Seek(Offset(0), STREAM_SEEK_SET, nullptr), S_OK);
  STATSTG stat{};
  EXPECT_EQ(stream->Stat(&stat, STATFLAG_NONAME), S_OK);
  std::string bytes(stat.cbSize.QuadPart, '?');
  ULONG read = 0;
  EXPECT_EQ(stream->Read(bytes.data(), static_cast<ULONG>(bytes.size()), &read), S_OK);
  return bytes;
}

TEST(MemoryStreamTest, SeekReadAndWriteFollowTheSeekPointer) {
  ComPtr<IStream> stream = NewStream();
  WriteText(stream.Get(), "hello");
  EXPECT_EQ(Position(stream.Get()), 5u);

  ULARGE_INTEGER position{};
  ASSERT_EQ(stream->Seek(Offset(-2), STREAM_SEEK_END, &position), S_OK);
  EXPECT_EQ(position.QuadPart, 3u);
  std::array<char, 8> buffer{};
  ULONG read = 0;
  EXPECT_EQ(stream->Read(buffer.data(), 8, &read), S_FALSE);  // short read at the end
  EXPECT_EQ(read, 2u);
  EXPECT_EQ(std::string(buffer.data(), read), "lo");
  EXPECT_EQ(stream->Read(buffer.data(), 1, &read), S_FALSE);
  EXPECT_EQ(read, 0u);

  // Past the end is a valid position; writing there fills the gap with zeros.
  ASSERT_EQ(stream->Seek(Offset(3), STREAM_SEEK_CUR, &position), S_OK);
  EXPECT_EQ(position.QuadPart, 8u);
  EXPECT_EQ(stream->Read(buffer.data(), 1, &read), S_FALSE);
  WriteText(stream.Get(), "!");
  EXPECT_EQ(ReadAll(stream.Get()), std::string("hello\0\0\0!", 9));

  ASSERT_EQ(stream->Seek(Offset(1), STREAM_SEEK_SET, nullptr), S_OK);
  WriteText(stream.Get(), "EL");  // overwrites in place
  EXPECT_EQ(ReadAll(stream.Get()).substr(0, 5), "hELlo");

  // SetSize truncates or zero-extends and leaves the seek pointer where it was.
  ASSERT_EQ(stream->Seek(Offset(6), STREAM_SEEK_SET, nullptr), S_OK);
  ASSERT_EQ(stream->SetSize(Size(2)), S_OK);
  EXPECT_EQ(Position(stream.Get()), 6u);
  ASSERT_EQ(stream->SetSize(Size(4)), S_OK);
  EXPECT_EQ(ReadAll(stream.Get()), std::string("hE\0\0", 4));
}

TEST(MemoryStreamTest, InvalidSeeksAndArgumentsLeaveThePositionAlone) {
  ComPtr<IStream> stream = NewStream();
  WriteText(stream.Get(), "abc");
  ULARGE_INTEGER position{};
  EXPECT_EQ(stream->Seek(Offset(-4), STREAM_SEEK_END, &position), STG_E_INVALIDFUNCTION);
  EXPECT_EQ(stream->Seek(Offset(-1), STREAM_SEEK_SET, &position), STG_E_INVALIDFUNCTION);
  EXPECT_EQ(stream->Seek(Offset(0), 3, &position), STG_E_INVALIDFUNCTION);
  EXPECT_EQ(stream->Seek(Offset(LONGLONG{1} << 32), STREAM_SEEK_SET, &position),
            STG_E_INVALIDFUNCTION);
  EXPECT_EQ(Position(stream.Get()), 3u);

  ULONG count = 7;
  EXPECT_EQ(stream->Read(nullptr, 1, &count), STG_E_INVALIDPOINTER);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(stream->Write(nullptr, 1, &count), STG_E_INVALIDPOINTER);
  EXPECT_EQ(stream->SetSize(Size(ULONGLONG{1} << 32)), STG_E_MEDIUMFULL);
  EXPECT_EQ(stream->Stat(nullptr, STATFLAG_DEFAULT), STG_E_INVALIDPOINTER);
  EXPECT_EQ(stream->LockRegion(Size(0), Size(1), LOCK_WRITE), STG_E_INVALIDFUNCTION);

  ComPtr<IStream> unused;
  int block = 0;
  EXPECT_EQ(CreateStreamOnHGlobal(&block, FALSE, unused.Put()), E_INVALIDARG);
  EXPECT_EQ(unused, nullptr);
  EXPECT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, nullptr), E_INVALIDARG);
}

TEST(MemoryStreamTest, ClonesShareBytesButKeepTheirOwnPointer) {
  ComPtr<IStream> original = NewStream();
  WriteText(original.Get(), "abcdef");
  ASSERT_EQ(original->Seek(Offset(2), STREAM_SEEK_SET, nullptr), S_OK);
  ComPtr<IStream> clone;
  ASSERT_EQ(original->Clone(clone.Put()), S_OK);
  EXPECT_EQ(Position(clone.Get()), 2u);  // starts where the original stood

  ASSERT_EQ(clone->Seek(Offset(0), STREAM_SEEK_END, nullptr), S_OK);
  WriteText(clone.Get(), "gh");
  EXPECT_EQ(Position(original.Get()), 2u);
  std::array<char, 6> buffer{};
  ULONG read = 0;
  ASSERT_EQ(original->Read(buffer.data(), 6, &read), S_OK);
  EXPECT_EQ(std::string(buffer.data(), read), "cdefgh");

  original = nullptr;  // the bytes live on in the clone
  EXPECT_EQ(ReadAll(clone.Get()), "abcdefgh");
}

TEST(MemoryStreamTest, CopyToMovesBothPointersAndMayTargetAClone) {
  ComPtr<IStream> source = NewStream();
  std::string payload(200000, 'x');  // several copy chunks
  payload[0] = 'a';
  payload.back() = 'z';
  WriteText(source.Get(), payload);
  ASSERT_EQ(source->Seek(Offset(0), STREAM_SEEK_SET, nullptr), S_OK);

  ComPtr<IStream> target = NewStream();
  ULARGE_INTEGER read{};
  ULARGE_INTEGER written{};
  ASSERT_EQ(source->CopyTo(target.Get(), Size(150000), &read, &written), S_OK);
  EXPECT_EQ(read.QuadPart, 150000u);
  EXPECT_EQ(written.QuadPart, 150000u);
  EXPECT_EQ(Position(source.Get()), 150000u);
  EXPECT_EQ(Position(target.Get()), 150000u);

  // Asking for more than is left copies the rest.
  ASSERT_EQ(source->CopyTo(target.Get(), Size(1000000), &read, &written), S_OK);
  EXPECT_EQ(read.QuadPart, 50000u);
  EXPECT_EQ(ReadAll(target.Get()), payload);

  // Copying into a clone of itself appends the stream to its own end.
  ComPtr<IStream> clone;
  ASSERT_EQ(source->Clone(clone.Put()), S_OK);
  ASSERT_EQ(source->Seek(Offset(0), STREAM_SEEK_SET, nullptr), S_OK);
  ASSERT_EQ(source->CopyTo(clone.Get(), Size(payload.size()), &read, &written), S_OK);
  EXPECT_EQ(ReadAll(clone.Get()), payload + payload);
  EXPECT_EQ(source->CopyTo(nullptr, Size(1), &read, &written), STG_E_INVALIDPOINTER);
}

TEST(MemoryStreamTest, AnswersForItsThreeInterfacesOnlyAndHasNoName) {
  ComPtr<IStream> stream = NewStream();
  ComPtr<ISequentialStream> sequential;
  ASSERT_EQ(stream.As(&sequential), S_OK);
  EXPECT_EQ(static_cast<void*>(sequential.Get()), static_cast<void*>(stream.Get()));
  void* other = &other;
  EXPECT_EQ(stream->QueryInterface(IID_IClassFactory, &other), E_NOINTERFACE);
  EXPECT_EQ(other, nullptr);
  STATSTG stat{};
  ASSERT_EQ(stream->Stat(&stat, STATFLAG_DEFAULT), S_OK);
  EXPECT_EQ(stat.type, STGTY_STREAM);
  EXPECT_EQ(stat.pwcsName, nullptr);  // nothing for the caller to free
}

// Marks its destruction, so tests can see how long a buffer keeps it.
class FlagAttachment : public StreamAttachment {
 public:
  explicit FlagAttachment(bool* destroyed) : destroyed_(destroyed) {}
  ~FlagAttachment() override { *destroyed_ = true; }

 private:
  bool* destroyed_;
};

TEST(MemoryStreamTest, AttachmentsTravelWithTheBytesAndDieWithThem) {
  bool firstDestroyed = false;
  bool secondDestroyed = false;
  ComPtr<IStream> stream = NewStream();
  auto buffer = MemoryStreamBufferOf(stream.Get());
  ASSERT_NE(buffer, nullptr);
  const auto first = buffer->AddAttachment(std::make_shared<FlagAttachment>(&firstDestroyed));
  const auto second = buffer->AddAttachment(std::make_shared<FlagAttachment>(&secondDestroyed));
  EXPECT_NE(first, 0u);
  EXPECT_NE(first, second);
  EXPECT_NE(buffer->FindAttachment(second), nullptr);

  auto taken = buffer->TakeAttachment(first);
  EXPECT_NE(taken, nullptr);
  EXPECT_EQ(buffer->FindAttachment(first), nullptr);
  taken.reset();
  EXPECT_TRUE(firstDestroyed);

  // A stream rebuilt from received bytes and attachments keeps the keys its bytes name.
  auto received = std::make_shared<MemoryStreamBuffer>(std::vector<BYTE>{1, 2, 3});
  for (auto& [key, attachment] : buffer->Attachments()) received->PutAttachment(key, attachment);
  EXPECT_GT(received->AddAttachment(nullptr), second);
  ComPtr<IStream> rebuilt;
  ASSERT_EQ(CreateMemoryStream(received, rebuilt.Put()), S_OK);
  EXPECT_EQ(ReadAll(rebuilt.Get()), std::string("\1\2\3"));

  buffer.reset();
  stream = nullptr;
  EXPECT_FALSE(secondDestroyed);  // still held by the rebuilt stream's buffer
  received.reset();
  rebuilt = nullptr;
  EXPECT_TRUE(secondDestroyed);
  EXPECT_EQ(MemoryStreamBufferOf(nullptr), nullptr);
}

TEST(MemoryStreamTest, ClonesOnSeveralThreadsWriteTheirOwnRegions) {
  constexpr int kThreads = 4;
  constexpr int kBlock = 4096;
  ComPtr<IStream> stream = NewStream();
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    ComPtr<IStream> clone;
    ASSERT_EQ(stream->Clone(clone.Put()), S_OK);
    writers.emplace_back([clone, t] {
      const std::string block(kBlock, static_cast<char>('a' + t));
      ASSERT_EQ(clone->Seek(Offset(LONGLONG{t} * kBlock), STREAM_SEEK_SET, nullptr), S_OK);
      for (int i = 0; i < kBlock; i += 64) {
        ULONG written = 0;
        ASSERT_EQ(clone->Write(block.data() + i, 64, &written), S_OK);
      }
    });
  }
  for (auto& writer : writers) writer.join();
  const std::string all = ReadAll(stream.Get());
  ASSERT_EQ(all.size(), std::size_t{kThreads} * kBlock);
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(all.substr(std::size_t(t) * kBlock, kBlock),
              std::string(kBlock, static_cast<char>('a' + t)));
  }
}

}  // namespace
}  // namespace platform::automation
