#include "report/stack_frame.h"

namespace nelko {

bool ModuleInAppDirectory(std::string_view module_path, std::string_view app_directory) {
  return module_path.find(app_directory) != std::string_view::npos;
}

}  // namespace nelko
