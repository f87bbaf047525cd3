#include "capture/frame_receiver.h"

#include <algorithm>

namespace nelko {

namespace {

// Drops the last component of `path` and the separators before it.
void DropLastComponent(std::string& path) {
  const size_t cut = path.find_last_of("\\/");
  path.resize(cut == std::string::npos ? 0 : cut);
  while (!path.empty() && (path.back() == '\\' || path.back() == '/')) path.pop_back();
}

}  // namespace

std::string UserFolderFromExecutablePath(std::string_view executable_path) {
  std::string folder(executable_path);
  for (int i = 0; i < 3; ++i) DropLastComponent(folder);
  std::replace(folder.begin(), folder.end(), '/', '\\');
  return folder;
}

StackFrame MakeStackFrame(const CallstackEntry& entry, std::string_view user_folder) {
  StackFrame frame;
  frame.inAppDirectory = ModuleInAppDirectory(entry.loaded_image_name, user_folder);
  if (entry.managed != 0) {
    frame.managed = true;
    frame.managed_frame_desc = entry.name;
    return frame;
  }
  frame.image_uuid = entry.pdb_identifier;
  frame.image_name = entry.module_name;
  frame.image_base_address = entry.image_base;
  frame.pdb_name = entry.pdb_name;
  frame.absolute_pc = entry.address;
  frame.relative_pc = entry.address - entry.image_base;  // wraps, as unsigned arithmetic does
  return frame;
}

FrameReceiver::FrameReceiver(CrashReport& report, std::string_view executable_path, bool is_editor)
    : report_(report) {
  report_.hasNativeCrash = true;
  if (is_editor) user_folder_ = UserFolderFromExecutablePath(executable_path);
}

void FrameReceiver::OnEntry(const CallstackEntry& entry) {
  if (current_thread_ == nullptr) return;
  current_thread_->AddFrame(MakeStackFrame(entry, user_folder_));
}

}  // namespace nelko
