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
size_t CountOccurrences(const Text& text, std::basic_string_view<typename Text::value_type> token) {
  size_t count = 0;
  for (size_t at = text.find(token.data(), 0, token.size()); at != Text::npos;
       at = text.find(token.data(), at + token.size(), token.size())) {
    ++count;
  }
  return count;
}

// The length of `text` once every one of `count` occurrences of a token of
// `token_size` units is replaced by `value_size` units; false when that
// exceeds `limit` (worked out without overflow).
bool ReplacedSizeWithin(size_t size, size_t count, size_t token_size, size_t value_size, size_t limit,
                        size_t* replaced) {
  if (size > limit) return false;
  if (value_size <= token_size) {
    *replaced = size - count * (token_size - value_size);
    return true;
  }
  const size_t growth = value_size - token_size;
  if (count != 0 && growth > (limit - size) / count) return false;
  *replaced = size + count * growth;
  return true;
}

template <typename Text>
void ReplaceEvery(Text& text, std::basic_string_view<typename Text::value_type> token,
                  std::basic_string_view<typename Text::value_type> value, size_t reserve = 0) {
  if (token.empty()) return;
  size_t at = text.find(token.data(), 0, token.size());
  if (at == Text::npos) return;
  Text out;
  out.reserve(reserve);
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

template <typename Text>
bool ReplaceEveryWithin(Text& text, std::basic_string_view<typename Text::value_type> token,
                        std::basic_string_view<typename Text::value_type> value, size_t limit) {
  if (token.empty()) return text.size() <= limit;
  size_t replaced = 0;
  if (!ReplacedSizeWithin(text.size(), CountOccurrences(text, token), token.size(), value.size(), limit,
                          &replaced)) {
    return false;
  }
  ReplaceEvery(text, token, value, replaced);
  return true;
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

bool ReplaceAllWithin(std::string& text, std::string_view token, std::string_view value, size_t limit) {
  return ReplaceEveryWithin(text, token, value, limit);
}

bool ReplaceAllWithin(std::wstring& text, std::wstring_view token, std::wstring_view value, size_t limit) {
  return ReplaceEveryWithin(text, token, value, limit);
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

bool ExpandMetadataTokens(std::string& line, const TextMap& metadata) {
  if (line.size() > kMaxExpandedTemplateBytes) return false;
  int pass = 0;
  for (size_t work = line.size(); pass < kMaxMetadataPasses && work <= kMaxMetadataWorkBytes;
       ++pass, work += line.size()) {
    const MetadataToken found = FindMetadataToken(line);
    if (found.position == std::string::npos) return true;
    const std::string token = line.substr(found.position, found.length);
    const std::string key(found.key);
    std::string_view value;
    const auto entry = metadata.find(key);
    if (entry == metadata.end()) {
      DiagPrintf("Warning: couldn't find metadata '%s'\n", key.c_str());
    } else {
      value = entry->second;
    }
    if (!ReplaceAllWithin(line, token, value, kMaxExpandedTemplateBytes)) return false;
  }
  if (FindMetadataToken(line).position != std::string::npos) {
    DiagPrintf("Warning: metadata values refer to each other; tokens left after %d passes\n", pass);
  }
  return true;
}

bool ExpandPlainTokens(std::string& line, const SessionSettings& settings, std::string_view report_hash) {
  constexpr size_t kLimit = kMaxExpandedTemplateBytes;
  return ReplaceAllWithin(line, "<appName>", settings.app_name, kLimit) &&
         ReplaceAllWithin(line, "<vendor>", settings.vendor, kLimit) &&
         ReplaceAllWithin(line, "<version>", settings.info, kLimit) &&
         ReplaceAllWithin(line, "<crashReportPath>", settings.crash_report_path, kLimit) &&
         ReplaceAllWithin(line, "<crashReportHash>", report_hash, kLimit);
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

bool ExpandAttachFileToken(std::wstring& line, const AttachmentList& files) {
  constexpr size_t kLimit = kMaxCommandLineUnits;
  if (line.size() > kLimit) return false;
  const AttachFileToken found = FindAttachFileToken(line);
  if (found.position == std::wstring::npos) return true;
  const std::wstring token = line.substr(found.position, found.length);
  const std::wstring item = line.substr(found.item_position, found.item_length);
  constexpr std::wstring_view kFile = L"<file>";
  const size_t markers = CountOccurrences(item, kFile);
  // The joined items are sized first: thousands of files, each in a long
  // item, must not be built only to be refused.
  size_t items_size = 0;
  for (size_t i = 0; i < files.size(); ++i) {
    size_t copy_size = 0;
    if (!ReplacedSizeWithin(item.size(), markers, kFile.size(), files[i].size(), kLimit, &copy_size)) {
      return false;
    }
    const size_t separator = i > 0 ? 1 : 0;
    if (copy_size + separator > kLimit - items_size) return false;
    items_size += copy_size + separator;
  }
  size_t line_size = 0;
  if (!ReplacedSizeWithin(line.size(), CountOccurrences(line, std::wstring_view(token)), token.size(),
                          items_size, kLimit, &line_size)) {
    return false;
  }
  std::wstring items;
  items.reserve(items_size);
  for (size_t i = 0; i < files.size(); ++i) {
    std::wstring copy = item;
    ReplaceAll(copy, kFile, files[i]);
    if (i > 0) items += L' ';
    items += copy;
  }
  ReplaceEvery(line, std::wstring_view(token), std::wstring_view(items), line_size);
  return true;
}

namespace {

// The expansion itself; false when some step would make the line longer
// than a command line can be.
bool ExpandWithin(const std::string& command_template, const SessionSettings& settings,
                  const AttachmentList& files, std::string_view report_hash, Utf8ToWideFunction to_wide,
                  std::wstring* command_line) {
  if (command_template.size() > kMaxExpandedTemplateBytes) return false;
  std::string line = command_template;
  if (!ExpandMetadataTokens(line, settings.metadata)) return false;
  if (!ExpandPlainTokens(line, settings, report_hash)) return false;
  *command_line = to_wide(line);
  return ExpandAttachFileToken(*command_line, files) && command_line->size() <= kMaxCommandLineUnits;
}

}  // namespace

std::wstring ExpandBugReporterTemplate(const std::string& command_template, const SessionSettings& settings,
                                       const AttachmentList& files, std::string_view report_hash,
                                       Utf8ToWideFunction to_wide, bool* too_long) {
  std::wstring command_line;
  const bool fits = ExpandWithin(command_template, settings, files, report_hash, to_wide, &command_line);
  if (too_long != nullptr) *too_long = !fits;
  if (!fits) command_line.clear();
  return command_line;
}

}  // namespace nelko
