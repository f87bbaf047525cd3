#include "upload/multipart_body.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

namespace nelko {
namespace {

std::vector<char>& Scratch() {
  static std::vector<char> buffer(kFormatScratchStep);
  return buffer;
}

bool IsUnreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
         c == '_' || c == '~';
}

}  // namespace

bool AppendFormatted(std::string& out, const char* format, ...) {
  std::vector<char>& scratch = Scratch();
  for (;;) {
    va_list args;
    va_start(args, format);
    const int length = std::vsnprintf(scratch.data(), scratch.size(), format, args);
    va_end(args);
    if (length < 0) return false;
    const size_t needed = static_cast<size_t>(length) + 1;
    if (needed <= scratch.size()) {
      out.append(scratch.data(), static_cast<size_t>(length));
      return true;
    }
    // Grown in whole steps, to the first size that holds the text and its zero.
    const size_t steps = (needed - scratch.size() + kFormatScratchStep - 1) / kFormatScratchStep;
    scratch.resize(scratch.size() + steps * kFormatScratchStep);
  }
}

size_t FormatScratchSize() { return Scratch().size(); }

void BuildMultipartBody(const CachedReport& report, std::string& out) {
  // One contiguous body, reserved up front so the text parts never move it.
  out.reserve(out.size() + report.data.size() + 2048);
  for (const FormField& field : kUploadFormFields) {
    AppendFormatted(out, "--%s\r\nContent-Disposition: form-data; name=\"%s\"\r\n\r\n%s\r\n",
                    kMultipartBoundary, field.name, field.value);
  }
  AppendFormatted(out,
                  "--%s\r\nContent-Disposition: form-data; name=\"%s\"; filename=\"%s\"\r\n"
                  "Content-Type: %s\r\n\r\n",
                  kMultipartBoundary, kUploadFileField, kUploadFileName, kUploadFileType);
  out.append(report.data);
  AppendFormatted(out, "\r\n--%s--\r\n", kMultipartBoundary);
}

std::string BuildUploadHeaders(size_t body_length) {
  std::string headers = "Content-Type: multipart/form-data; boundary=";
  headers += kMultipartBoundary;
  headers += "\r\nContent-Length: ";
  headers += std::to_string(body_length);
  headers += "\r\n";
  return headers;
}

std::string BuildUploadUrl(std::string_view base_url, std::string_view project_id) {
  static const char kHex[] = "0123456789ABCDEF";
  // "." and ".." would be read as path steps and name another resource.
  const bool only_dots = project_id.find_first_not_of('.') == std::string_view::npos;
  std::string id;
  for (const char c : project_id) {
    const auto byte = static_cast<unsigned char>(c);
    if (IsUnreserved(byte) && !(only_dots && c == '.')) {
      id += c;
    } else {
      id += '%';
      id += kHex[byte >> 4];
      id += kHex[byte & 0x0F];
    }
  }
  std::string url;
  AppendFormatted(url, kUploadUrlFormat, std::string(base_url).c_str(), id.c_str());
  return url;
}

}  // namespace nelko
