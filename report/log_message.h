#pragma once
// One of the engine's last log messages, as the report carries it.
#include <cstdint>
#include <string>

namespace nelko {

struct LogMessage {
  std::string message;
  uint64_t ts = 0;     // the engine's timestamp
  uint32_t frame = 0;  // the engine's frame counter
  int16_t type = 0;    // the engine's message type, written sign-extended

  template <class Transferer>
  void Transfer(Transferer& t) {
    t.Transfer(message, "message");
    t.Transfer(ts, "ts");
    t.Transfer(frame, "frame");
    t.Transfer(type, "type");
  }
};

}  // namespace nelko
