#pragma once
// One frame of a thread's stack as the report records it.
#include <cstdint>
#include <string>
#include <string_view>

namespace nelko {

struct StackFrame {
  std::string image_uuid;           // debug-information identity; empty for managed frames
  std::string image_name;           // module name as the native walker reports it
  uint64_t image_base_address = 0;  // load address of the module
  std::string pdb_name;             // debug-information file name
  bool is_user_image = false;
  uint64_t absolute_pc = 0;
  uint64_t relative_pc = 0;        // absolute_pc - image_base_address
  bool managed = false;            // described by the managed runtime
  std::string managed_frame_desc;  // the managed runtime's text; empty for native frames

  // Not serialised; only the crash hash reads it. True unless the frame was
  // found to lie outside the application directory: a frame nobody
  // classified counts as the application's own, as it does outside the
  // editor where that directory is empty.
  bool inAppDirectory = true;

  template <class Transferer>
  void Transfer(Transferer& t) {
    t.Transfer(image_uuid, "image_uuid");
    t.Transfer(image_name, "image_name");
    t.Transfer(image_base_address, "image_base_address");
    t.Transfer(pdb_name, "pdb_name");
    t.Transfer(is_user_image, "is_user_image");
    t.Transfer(absolute_pc, "absolute_pc");
    t.Transfer(relative_pc, "relative_pc");
    t.Transfer(managed, "managed");
    t.Transfer(managed_frame_desc, "managed_frame_desc");
  }
};

// Whether a module at module_path lies in the application directory: a
// byte-wise, case-sensitive substring test, so an empty directory (outside
// the editor nothing determines one) contains every module.
bool ModuleInAppDirectory(std::string_view module_path, std::string_view app_directory);

}  // namespace nelko
