#pragma once
// Test helper: sends the diagnostic output to a file for the life of the
// object and gives back what was written.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <atomic>

#include "app/diag_output.h"

namespace nelko::test {

class DiagCapture {
 public:
  DiagCapture() {
    static std::atomic<int> serial{0};
    path_ = std::filesystem::temp_directory_path() /
            ("nelko_session_diag_" + std::to_string(reinterpret_cast<uintptr_t>(this)) + "_" +
             std::to_string(serial++) + ".txt");
    file_ = std::fopen(path_.string().c_str(), "wb+");
    previous_ = DiagOutputStream();
    SetDiagOutputStream(file_);
  }
  ~DiagCapture() {
    SetDiagOutputStream(previous_);
    if (file_ != nullptr) std::fclose(file_);
    std::error_code ec;
    std::filesystem::remove(path_, ec);
  }
  DiagCapture(const DiagCapture&) = delete;
  DiagCapture& operator=(const DiagCapture&) = delete;

  // Everything written so far; the next call returns only what came after.
  std::string Take() {
    if (file_ == nullptr) return {};
    std::fflush(file_);
    std::ifstream in(path_, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    std::string text = all.str();
    std::string fresh = text.substr(std::min(taken_, text.size()));
    taken_ = text.size();
    return fresh;
  }

 private:
  std::filesystem::path path_;
  std::FILE* file_ = nullptr;
  std::FILE* previous_ = nullptr;
  size_t taken_ = 0;
};

}  // namespace nelko::test
