#pragma once
// Test helper: sends the diagnostic output to a temporary file of its own for
// the life of the object and gives back what was written.
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>

#include "base/diag_output.h"

namespace nelko::test {

class DiagCapture {
 public:
  DiagCapture() {
    OpenNamedFile();
    previous_ = DiagOutputStream();
    SetDiagOutputStream(file_);
  }
  ~DiagCapture() {
    SetDiagOutputStream(previous_);
    if (file_ != nullptr) std::fclose(file_);
    if (!named_.empty()) std::remove(named_.c_str());
  }
  DiagCapture(const DiagCapture&) = delete;
  DiagCapture& operator=(const DiagCapture&) = delete;

  // Everything written so far; the next call returns only what came after.
  std::string Take() {
    if (file_ == nullptr) return {};
    std::fflush(file_);
    std::fseek(file_, static_cast<long>(taken_), SEEK_SET);
    std::string fresh;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof(buffer), file_)) > 0) fresh.append(buffer, n);
    taken_ += fresh.size();
    std::fseek(file_, 0, SEEK_END);
    return fresh;
  }

 private:
  // Not tmpfile: under Wine its names follow a counter that starts alike in
  // every process, so test processes running side by side can end up sharing
  // (and removing) one file. A random name of our own cannot clash.
  void OpenNamedFile() {
    std::random_device random;
    for (int attempt = 0; attempt < 8 && file_ == nullptr; ++attempt) {
      named_ = (std::filesystem::temp_directory_path() /
                ("nelko_diag_" + std::to_string(random()) + "_" + std::to_string(random()) + ".txt"))
                   .string();
      file_ = std::fopen(named_.c_str(), "w+b");
    }
    if (file_ == nullptr) named_.clear();
  }

  std::FILE* file_ = nullptr;
  std::string named_;
  std::FILE* previous_ = nullptr;
  size_t taken_ = 0;
};

}  // namespace nelko::test
