#pragma once
// A managed exception as the document format carries it. This handler never
// fills one; reports from other producers may.
#include <string>

#include "report/thread.h"

namespace nelko {

struct ManagedException {
  std::string type;
  std::string message;
  std::string stack_trace;
  Thread native_thread_info;

  template <class Transferer>
  void Transfer(Transferer& t) {
    t.Transfer(type, "type");
    t.Transfer(message, "message");
    t.Transfer(stack_trace, "stack_trace");
    t.Transfer(native_thread_info, "native_thread_info");
  }
};

}  // namespace nelko
