// Replays every file of a folder (or single files) through a fuzz target's
// entry point, so kept inputs and fixed findings run as ordinary tests.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {
int RunFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", path.string().c_str());
    return 1;
  }
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
  return 0;
}
}  // namespace

int main(int argc, char** argv) {
  int failures = 0;
  size_t count = 0;
  // The empty input is always worth a run.
  LLVMFuzzerTestOneInput(nullptr, 0);
  for (int i = 1; i < argc; ++i) {
    std::filesystem::path arg(argv[i]);
    std::error_code ec;
    if (std::filesystem::is_directory(arg, ec)) {
      for (const auto& entry : std::filesystem::directory_iterator(arg)) {
        if (entry.is_regular_file()) {
          failures += RunFile(entry.path());
          ++count;
        }
      }
    } else if (std::filesystem::exists(arg, ec)) {
      failures += RunFile(arg);
      ++count;
    }
  }
  std::printf("replayed %zu inputs\n", count);
  // A missing or emptied corpus must not pass as a replay of everything kept.
  if (count == 0) {
    std::fprintf(stderr, "no inputs to replay\n");
    return 1;
  }
  return failures == 0 ? 0 : 1;
}
