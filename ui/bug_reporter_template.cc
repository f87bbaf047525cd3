#include "ui/bug_reporter_template.h"

#include <string>

#include "base/diag_output.h"

// The two token patterns, <meta:(\w+)> and <attachFile:(.*<file>.*)>, are
// matched by hand with exactly the regular expressions' results: the standard
// library's regular-expression engine recurses once per character it
// consumes, and a template of a few thousand characters after <attachFile:
// overflowed the stack of a Windows thread.

namespace nelko {
namespace {

template <typename Text>
void ReplaceEvery(Text& text, std::basic_string_view<typename Text::value_type> token,
                  std::basic_string_view<typename Text::value_type> value) {
  if (token.empty()) return;
  size_t at = text.find(token.data(), 0, token.size());
  if (at == Text::npos) return;
  Text out;
  size_t copied = 0;
  while (at != Text::npos) {
    out.append(text, copied, at - copied);
    out.append(value.data(), value.size());
    copied = at + token.size();
    // Search on after the token: the inserted value is never searched.
    at = text.find(token.data(), copied, token.size());
  }
  out.append(text, copied, Text::npos);
  text.swap(out);
}

size_t CountOccurrences(std::string_view text, std::string_view token) {
  size_t count = 0;
  for (size_t at = text.find(token); at != std::string_view::npos; at = text.find(token, at + token.size())) {
    ++count;
  }
  return count;
}

bool IsWordChar(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

// The line terminators of ECMAScript, which '.' does not match.
bool IsLineBreak(wchar_t c) { return c == L'\n' || c == L'\r' || c == 0x2028 || c == 0x2029; }

}  // namespace

void ReplaceAll(std::string& text, std::string_view token, std::string_view value) {
  ReplaceEvery(text, token, value);
}

void ReplaceAll(std::wstring& text, std::wstring_view token, std::wstring_view value) {
  ReplaceEvery(text, token, value);
}

MetadataToken FindMetadataToken(std::string_view line, size_t from) {
  constexpr std::string_view kOpen = "<meta:";
  for (size_t at = line.find(kOpen, from); at != std::string_view::npos; at = line.find(kOpen, at + 1)) {
    const size_t key = at + kOpen.size();
    size_t end = key;
    while (end < line.size() && IsWordChar(line[end])) ++end;
    if (end > key && end < line.size() && line[end] == '>') {
      MetadataToken token;
      token.position = at;
      token.length = end + 1 - at;
      token.key = line.substr(key, end - key);
      return token;
    }
  }
  return MetadataToken{};
}

void ExpandMetadataTokens(std::string& line, const TextMap& metadata) {
  for (int pass = 0; pass < kMaxMetadataPasses; ++pass) {
    const MetadataToken found = FindMetadataToken(line);
    if (found.position == std::string::npos) return;
    const std::string token = line.substr(found.position, found.length);
    const std::string key(found.key);
    std::string_view value;
    const auto entry = metadata.find(key);
    if (entry == metadata.end()) {
      DiagPrintf("Warning: couldn't find metadata '%s'\n", key.c_str());
    } else {
      value = entry->second;
    }
    if (value.size() > token.size()) {
      const size_t growth = CountOccurrences(line, token) * (value.size() - token.size());
      if (line.size() + growth > kMaxExpandedTemplateBytes) {
        DiagPrintf("Warning: metadata would make the bug reporter command line longer than %u bytes\n",
                   static_cast<unsigned>(kMaxExpandedTemplateBytes));
        return;
      }
    }
    ReplaceAll(line, token, value);
  }
  if (FindMetadataToken(line).position != std::string::npos) {
    DiagPrintf("Warning: metadata values refer to each other; tokens left after %d passes\n",
               kMaxMetadataPasses);
  }
}

void ExpandPlainTokens(std::string& line, const SessionSettings& settings, std::string_view report_hash) {
  ReplaceAll(line, "<appName>", settings.app_name);
  ReplaceAll(line, "<vendor>", settings.vendor);
  ReplaceAll(line, "<version>", settings.info);
  ReplaceAll(line, "<crashReportPath>", settings.crash_report_path);
  ReplaceAll(line, "<crashReportHash>", report_hash);
}

AttachFileToken FindAttachFileToken(std::wstring_view line) {
  constexpr std::wstring_view kOpen = L"<attachFile:";
  constexpr std::wstring_view kFile = L"<file>";
  size_t start = line.find(kOpen);
  while (start != std::wstring_view::npos) {
    const size_t item = start + kOpen.size();
    size_t end = item;
    while (end < line.size() && !IsLineBreak(line[end])) ++end;
    // Greedy on both sides of <file>: the item runs to the last '>' of the
    // line that still leaves a whole <file> before it.
    const std::wstring_view rest = line.substr(item, end - item);
    const size_t close = rest.rfind(L'>');
    const size_t file = rest.find(kFile);
    if (close != std::wstring_view::npos && file != std::wstring_view::npos && file + kFile.size() <= close) {
      AttachFileToken token;
      token.position = start;
      token.length = kOpen.size() + close + 1;
      token.item_position = item;
      token.item_length = close;
      return token;
    }
    // A later start before the same line break sees a part of the same text
    // and cannot match either.
    start = line.find(kOpen, end);
  }
  return AttachFileToken{};
}

void ExpandAttachFileToken(std::wstring& line, const AttachmentList& files) {
  const AttachFileToken found = FindAttachFileToken(line);
  if (found.position == std::wstring::npos) return;
  const std::wstring token = line.substr(found.position, found.length);
  const std::wstring item = line.substr(found.item_position, found.item_length);
  std::wstring items;
  for (size_t i = 0; i < files.size(); ++i) {
    std::wstring copy = item;
    ReplaceAll(copy, L"<file>", files[i]);
    if (i > 0) items += L' ';
    items += copy;
  }
  ReplaceAll(line, token, items);
}

std::wstring ExpandBugReporterTemplate(const std::string& command_template, const SessionSettings& settings,
                                       const AttachmentList& files, std::string_view report_hash,
                                       Utf8ToWideFunction to_wide) {
  std::string line = command_template;
  ExpandMetadataTokens(line, settings.metadata);
  ExpandPlainTokens(line, settings, report_hash);
  std::wstring wide = to_wide(line);
  ExpandAttachFileToken(wide, files);
  return wide;
}

}  // namespace nelko
