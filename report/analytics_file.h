#pragma once
// The engine's analytics crash file: a JSON document whose member
// msg.eventData.value receives the crash hash, so the engine's next start
// reports which crash ended the previous run.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace nelko {

// The file's new text: text with msg.eventData.value replaced by a string
// holding hash (whatever kind it had), every other member kept in order, in
// compact form. None when text does not parse, its root is not an object,
// msg or eventData is missing or not an object, or value is missing.
std::optional<std::string> RewriteAnalyticsCrashText(std::string_view text, std::string_view hash);

// Rewrites the file at path (UTF-8) with RewriteAnalyticsCrashText. The new
// text goes to a temporary file beside it, which then replaces the original
// in one step: a failure, or the handler being killed, at any point leaves
// the original byte for byte, with its attributes. A file larger than
// kMaxAnalyticsFileBytes, or whose temporary name would be too long for the
// file layer, is left alone with a line saying so; temporary files left by
// an earlier run that was killed are removed.
void UpdateAnalyticsCrashFile(std::string_view path, std::string_view hash);

constexpr uint64_t kMaxAnalyticsFileBytes = 16 * 1024 * 1024;

}  // namespace nelko
