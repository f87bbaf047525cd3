#include "capture/out_of_process_mono.h"

#include "base/utf8_cut.h"

namespace nelko {

std::string ManagedFrameName(std::string_view class_name, std::string_view method_name, size_t max_bytes) {
  if (class_name.empty()) class_name = "<unknown class>";
  if (method_name.empty()) method_name = "<unknown method>";
  std::string name;
  name.reserve(class_name.size() + method_name.size() + 3);
  name.append(class_name).append(".").append(method_name);
  if (name.size() + 2 > max_bytes) {
    name = std::string(CutUtf8(name, max_bytes >= 2 ? max_bytes - 2 : 0));
  }
  name.append("()");
  if (name.size() > max_bytes) name.resize(max_bytes);  // only for limits below 2
  return name;
}

}  // namespace nelko
