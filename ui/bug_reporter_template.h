#pragma once
// Expansion of the bug-reporter command-line template that the engine sends
// with SetBugReporterAppPath. Tokens:
//   <meta:KEY>        metadata value of KEY (A-Z a-z 0-9 _), empty when unset
//   <appName> <vendor> <version> <crashReportPath> <crashReportHash>
//   <attachFile:ITEM> one copy of ITEM per attached file, <file> replaced by
//                     its path, the copies joined by single spaces
// Values are inserted as they are: nothing is quoted or escaped.
#include <cstddef>
#include <string>
#include <string_view>

#include "capture/attachment_list.h"
#include "session/session_settings.h"

namespace nelko {

// Replaces every occurrence of `token` in `text` with `value`, scanning on
// after each inserted value, so a value that holds its own token is not
// expanded again. An empty token changes nothing.
void ReplaceAll(std::string& text, std::string_view token, std::string_view value);
void ReplaceAll(std::wstring& text, std::wstring_view token, std::wstring_view value);

// The same, unless the result would be longer than `limit` units: then the
// text stays as it was and the result is false. The size is worked out
// before anything is built, so a value repeated many times costs no memory.
bool ReplaceAllWithin(std::string& text, std::string_view token, std::string_view value, size_t limit);
bool ReplaceAllWithin(std::wstring& text, std::wstring_view token, std::wstring_view value, size_t limit);

// No Windows command line holds more UTF-16 units than this (its final NUL
// not counted); a longer one cannot be started at all.
constexpr size_t kMaxCommandLineUnits = 32767;
// The steps before the conversion to UTF-16 work on UTF-8 bytes. Every
// UTF-16 unit comes from at most three bytes, so a line longer than this
// cannot become a command line: no step makes one.
constexpr size_t kMaxExpandedTemplateBytes = 3 * kMaxCommandLineUnits;
// Metadata values may hold further tokens, expanded by later passes; values
// that refer to each other in a cycle would never run out of them.
constexpr int kMaxMetadataPasses = 1024;
// Each pass reads the whole line, so the bytes all passes read end the loop
// too: a long line that keeps bringing its tokens back costs milliseconds,
// not a thousand passes over the line's full length.
constexpr size_t kMaxMetadataWorkBytes = size_t{1} << 20;

// Where <meta:(\w+)> matches in `line` at or after `from`; npos when nowhere.
struct MetadataToken {
  size_t position = std::string::npos;
  size_t length = 0;
  std::string_view key;
};
MetadataToken FindMetadataToken(std::string_view line, size_t from = 0);

// Expands the <meta:KEY> tokens of `line` in place, leftmost first, each key
// everywhere at once, then searching again from the start. A key without a
// value gets a warning and expands to nothing. False when the line would
// grow beyond kMaxExpandedTemplateBytes (the line is then unusable).
bool ExpandMetadataTokens(std::string& line, const TextMap& metadata);

// <appName>, <vendor>, <version>, <crashReportPath>, <crashReportHash>, in
// that order. False when the line would grow beyond
// kMaxExpandedTemplateBytes.
bool ExpandPlainTokens(std::string& line, const SessionSettings& settings, std::string_view report_hash);

// Where <attachFile:(.*<file>.*)> matches in `line` (both .* greedy, '.' any
// unit but a line break): the whole token and the item inside it.
struct AttachFileToken {
  size_t position = std::wstring::npos;
  size_t length = 0;
  size_t item_position = 0;
  size_t item_length = 0;
};
AttachFileToken FindAttachFileToken(std::wstring_view line);

// Expands the first <attachFile:...> token of `line` in place: one copy of its
// item per file, joined by spaces; with no files the token is removed. False
// when the line would grow beyond kMaxCommandLineUnits.
bool ExpandAttachFileToken(std::wstring& line, const AttachmentList& files);

using Utf8ToWideFunction = std::wstring (*)(std::string_view);

// The whole expansion: metadata tokens, the plain tokens, conversion to UTF-16
// with `to_wide`, then the attached files. Reads the settings only. When the
// template, or any step's result, would be longer than a command line can
// be, the result is empty and *too_long (when given) is set.
std::wstring ExpandBugReporterTemplate(const std::string& command_template, const SessionSettings& settings,
                                       const AttachmentList& files, std::string_view report_hash,
                                       Utf8ToWideFunction to_wide, bool* too_long = nullptr);

}  // namespace nelko
