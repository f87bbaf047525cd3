#include "session/message_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace nelko {
namespace {

// Gives the bytes of a string in reads of at most `chunk` bytes, then ends
// as the script says: with a zero-byte read or with a failing one.
class ScriptedSource : public ByteSource {
 public:
  ScriptedSource(std::string bytes, size_t chunk, uint32_t final_error = 0)
      : bytes_(std::move(bytes)), chunk_(chunk), final_error_(final_error) {}
  bool Read(char* buffer, size_t size, size_t* got, uint32_t* error) override {
    ++reads;
    if (offset_ == bytes_.size() && final_error_ != 0) {
      *error = final_error_;
      return false;
    }
    const size_t n = std::min({size, chunk_, bytes_.size() - offset_});
    std::memcpy(buffer, bytes_.data() + offset_, n);
    offset_ += n;
    *got = n;
    return true;
  }
  int reads = 0;

 private:
  std::string bytes_;
  size_t chunk_;
  uint32_t final_error_;
  size_t offset_ = 0;
};

std::string Frame(const std::string& payload) {
  const uint32_t n = static_cast<uint32_t>(payload.size());
  std::string out;
  for (int i = 0; i < 4; ++i) out += static_cast<char>((n >> (8 * i)) & 0xFF);
  return out + payload;
}

std::string LengthWord(uint32_t n) {
  std::string out;
  for (int i = 0; i < 4; ++i) out += static_cast<char>((n >> (8 * i)) & 0xFF);
  return out;
}

std::vector<std::string> ReadAll(MessageReader& reader, MessageReader::Status* end) {
  std::vector<std::string> out;
  MessageReader::Status s;
  while ((s = reader.Next()) == MessageReader::Status::kMessage)
    out.emplace_back(reader.data(), reader.size());
  *end = s;
  return out;
}

using Status = MessageReader::Status;

TEST(MessageReader, CutsMessagesWhateverTheReadSizes) {
  const std::string stream = Frame(std::string("SetInfo\0a\0", 10)) + Frame(std::string("SetInfo\0b", 9)) +
                             Frame("") + Frame(std::string(100000, 'x'));
  for (size_t chunk : {size_t{1}, size_t{3}, size_t{7}, size_t{4096}, size_t{1} << 20}) {
    for (size_t block : {size_t{4}, size_t{16}, size_t{65536}}) {
      ScriptedSource source(stream, chunk);
      MessageReader reader(source, block);
      Status end;
      const auto messages = ReadAll(reader, &end);
      EXPECT_EQ(end, Status::kEnd);
      ASSERT_EQ(messages.size(), 4u) << chunk << "/" << block;
      EXPECT_EQ(messages[0], std::string("SetInfo\0a\0", 10));
      EXPECT_EQ(messages[1], std::string("SetInfo\0b\0", 10)) << "a NUL is appended when the last is missing";
      EXPECT_EQ(messages[2], std::string("\0", 1)) << "an empty payload is one NUL";
      EXPECT_EQ(messages[3], std::string(100000, 'x') + '\0');
    }
  }
}

TEST(MessageReader, TakesManySmallMessagesFromOneRead) {
  std::string stream;
  for (int i = 0; i < 100; ++i) stream += Frame("RecordLogMessage");
  ScriptedSource source(stream, stream.size());
  MessageReader reader(source);
  Status end;
  EXPECT_EQ(ReadAll(reader, &end).size(), 100u);
  EXPECT_LE(source.reads, 2);
}

TEST(MessageReader, AZeroByteReadEndsTheStream) {
  ScriptedSource source("", 10);
  MessageReader reader(source);
  EXPECT_EQ(reader.Next(), Status::kEnd);
  EXPECT_EQ(reader.Next(), Status::kEnd) << "and keeps ending it, without looping on the source";
}

TEST(MessageReader, AFailedReadGivesItsErrorCode) {
  ScriptedSource source(Frame("A"), 10, 109);
  MessageReader reader(source);
  EXPECT_EQ(reader.Next(), Status::kMessage);
  EXPECT_EQ(reader.Next(), Status::kReadFailed);
  EXPECT_EQ(reader.error(), 109u);
}

TEST(MessageReader, AMessageCutShortIsNotApplied) {
  for (uint32_t error : {0u, 232u}) {
    ScriptedSource source(Frame("SetInfo").substr(0, 7), 10, error);
    MessageReader reader(source);
    EXPECT_EQ(reader.Next(), error == 0 ? Status::kEnd : Status::kReadFailed);
  }
  ScriptedSource partial_length(std::string("\x05\x00", 2), 10);
  MessageReader reader(partial_length);
  EXPECT_EQ(reader.Next(), Status::kEnd);
}

TEST(MessageReader, ALengthAboveTheLimitEndsTheReader) {
  ScriptedSource source(LengthWord(0x80000000u) + "junk", 100);
  MessageReader reader(source);
  EXPECT_EQ(reader.Next(), Status::kTooLong);
  EXPECT_EQ(reader.length(), 0x80000000u);
}

TEST(MessageReader, AHugeLengthReservesOnlyWhatArrives) {
  // The largest allowed length with a few bytes behind it: the reader must
  // wait for the rest, not reserve 2 GiB up front.
  ScriptedSource source(LengthWord(0x7FFFFFFFu) + "abc", 100);
  MessageReader reader(source);
  reader.set_allocation_limit(1 << 20);
  EXPECT_EQ(reader.Next(), Status::kEnd);
}

TEST(MessageReader, AnAllocationFailureEndsTheReaderCleanly) {
  ScriptedSource source(Frame(std::string(5000, 'x')) + Frame("after"), 100);
  MessageReader reader(source);
  reader.set_allocation_limit(4096);
  EXPECT_EQ(reader.Next(), Status::kOutOfMemory);
  EXPECT_EQ(reader.length(), 5000u);
}

TEST(MessageReader, TheBufferIsReusedForSmallerMessages) {
  ScriptedSource source(Frame(std::string(3000, 'x')) + Frame("ab"), 100);
  MessageReader reader(source);
  reader.set_allocation_limit(3001);
  ASSERT_EQ(reader.Next(), Status::kMessage);
  ASSERT_EQ(reader.Next(), Status::kMessage);
  EXPECT_EQ(std::string(reader.data(), reader.size()), std::string("ab\0", 3));
}

TEST(MessageReader, ALargeMessagesBufferIsGivenBackBeforeTheNextMessage) {
  const std::string big(1 << 20, 'x');
  ScriptedSource source(Frame(big) + Frame("small"), 1 << 16);
  MessageReader reader(source);
  ASSERT_EQ(reader.Next(), Status::kMessage);
  EXPECT_GE(reader.payload_capacity(), big.size());
  ASSERT_EQ(reader.Next(), Status::kMessage);
  EXPECT_EQ(std::string(reader.data()), "small");
  EXPECT_LE(reader.payload_capacity(), kKeptPayloadBytes);
}

}  // namespace
}  // namespace nelko
