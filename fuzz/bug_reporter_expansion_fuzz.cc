// The bug-reporter template expanded from arbitrary bytes: template,
// metadata, application name, vendor, info, report path, hash and the list of
// attached files. Every input must end, give a line no longer than a command
// line can be (or none, said to be too long), and never crash.
//
// Input: fields separated by 0x01 bytes, in this order: template, app name,
// vendor, info, crash report path, hash, metadata ("key=value" entries
// separated by 0x02), then one attached file per further field.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "base/diag_output.h"
#include "ui/bug_reporter_template.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

std::vector<std::string_view> Split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  size_t start = 0;
  for (size_t at = text.find(separator); at != std::string_view::npos; at = text.find(separator, start)) {
    parts.push_back(text.substr(start, at - start));
    start = at + 1;
  }
  parts.push_back(text.substr(start));
  return parts;
}

// UTF-8 to UTF-16 as the system converts it: a byte that starts no valid
// sequence becomes U+FFFD, so no unit comes from fewer than one byte.
std::wstring ToWide(std::string_view text) {
  std::wstring out;
  for (size_t i = 0; i < text.size();) {
    const auto lead = static_cast<uint8_t>(text[i]);
    const size_t length = lead < 0x80         ? 1
                          : (lead >> 5) == 6  ? 2
                          : (lead >> 4) == 14 ? 3
                          : (lead >> 3) == 30 ? 4
                                              : 0;
    uint32_t code = length == 1 ? lead : length == 2 ? lead & 0x1F : length == 3 ? lead & 0x0F : lead & 0x07;
    bool valid = length != 0 && i + length <= text.size();
    for (size_t k = 1; valid && k < length; ++k) {
      const auto next = static_cast<uint8_t>(text[i + k]);
      valid = (next & 0xC0) == 0x80;
      code = (code << 6) | (next & 0x3F);
    }
    if (!valid || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
      out += static_cast<wchar_t>(0xFFFD);
      ++i;
      continue;
    }
    if (code >= 0x10000 && sizeof(wchar_t) == 2) {
      code -= 0x10000;
      out += static_cast<wchar_t>(0xD800 + (code >> 10));
      out += static_cast<wchar_t>(0xDC00 + (code & 0x3FF));
    } else {
      out += static_cast<wchar_t>(code);
    }
    i += length;
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace nelko;
  // Missing metadata is warned about; keep the fuzzer's own output quiet.
  static std::FILE* sink = std::tmpfile();
  if (sink != nullptr) {
    std::rewind(sink);
    SetDiagOutputStream(sink);
  }

  const std::string_view input(size == 0 ? "" : reinterpret_cast<const char*>(data), size);
  std::vector<std::string_view> fields = Split(input, '\x01');
  fields.resize(fields.size() < 7 ? 7 : fields.size());
  SessionSettings settings;
  settings.app_name = std::string(fields[1]);
  settings.vendor = std::string(fields[2]);
  settings.info = std::string(fields[3]);
  settings.crash_report_path = std::string(fields[4]);
  for (std::string_view entry : Split(fields[6], '\x02')) {
    const size_t equals = entry.find('=');
    if (equals != std::string_view::npos)
      settings.metadata[std::string(entry.substr(0, equals))] = std::string(entry.substr(equals + 1));
  }
  AttachmentList files;
  for (size_t i = 7; i < fields.size(); ++i) files.push_back(ToWide(fields[i]));

  const std::string command_template(fields[0]);
  bool too_long = false;
  const std::wstring line =
      ExpandBugReporterTemplate(command_template, settings, files, fields[5], &ToWide, &too_long);
  Check(line.size() <= kMaxCommandLineUnits);
  Check(!too_long || line.empty());
  // A template that holds no token is the command line as it stands.
  if (command_template.find('<') == std::string::npos) {
    const std::wstring plain = ToWide(command_template);
    Check(too_long
              ? plain.size() > kMaxCommandLineUnits || command_template.size() > kMaxExpandedTemplateBytes
              : line == plain);
  }
  // Nothing a setting holds may change it.
  Check(settings.app_name == fields[1]);
  return 0;
}
