// Arbitrary bytes on the command pipe: framing, dispatch and the settings
// they change must never crash, hang or read out of bounds.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "base/diag_output.h"
#include "session/command_handler.h"
#include "session/message_reader.h"
#include "session/session_settings.h"

namespace {

// Hands the input out in small, uneven pieces so that messages straddle reads.
class FuzzSource : public nelko::ByteSource {
 public:
  FuzzSource(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool Read(char* buffer, size_t size, size_t* got, uint32_t*) override {
    size_t n = size_ - offset_;
    if (n > size) n = size;
    if (n > 1 + (offset_ % 97)) n = 1 + (offset_ % 97);
    if (n > 0) std::memcpy(buffer, data_ + offset_, n);
    offset_ += n;
    *got = n;
    return true;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t offset_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The handler echoes every message; keep the fuzzer's own output quiet.
  // A scratch file rewound for every input, so it stays small.
  static std::FILE* sink = std::tmpfile();
  if (sink != nullptr) {
    std::rewind(sink);
    nelko::SetDiagOutputStream(sink);
  }

  nelko::SessionSettings settings;
  nelko::CommandHandler handler(settings);
  FuzzSource source(data, size);
  nelko::MessageReader reader(source, 256);
  // A length word may announce up to 2 GiB; the fuzzer's input never holds
  // that much, and the reader must not reserve it up front.
  reader.set_allocation_limit(1 << 20);
  while (reader.Next() == nelko::MessageReader::Status::kMessage) {
    handler.HandleMessage(reader.data(), reader.size());
  }
  (void)settings.log_ring.Snapshot();
  return 0;
}
