#include "tools/report_tool/report_view.h"

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>
#include <zlib.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "report/json_read.h"

namespace nelko::report_tool {
namespace {

std::string Hex(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof(text), "0x%" PRIx64, value);
  return text;
}

// The keys every report carries, whatever the engine sent: the handler
// writes each field of the record.
struct RequiredKey {
  const char* name;
  bool (rapidjson::Value::*is_kind)() const;
  const char* kind;
};
const RequiredKey kRequiredKeys[] = {
    {"client_report_id", &rapidjson::Value::IsString, "a string"},
    {"client_ts", &rapidjson::Value::IsUint64, "a whole number"},
    {"appid", &rapidjson::Value::IsString, "a string"},
    {"version", &rapidjson::Value::IsString, "a string"},
    {"platform", &rapidjson::Value::IsString, "a string"},
    {"log_messages", &rapidjson::Value::IsArray, "an array"},
    {"user_metadata", &rapidjson::Value::IsArray, "an array"},
};

std::string FrameText(const StackFrame& frame) {
  std::string image = frame.image_name.empty() ? "?" : frame.image_name;
  const size_t slash = image.find_last_of("/\\");
  if (slash != std::string::npos) image = image.substr(slash + 1);
  if (frame.managed) return image + " (managed) " + frame.managed_frame_desc;
  return image + "+" + Hex(frame.relative_pc);
}

// The engine's message types that the demo and the docs name.
std::string LogTypeText(int16_t type) {
  switch (type) {
    case 0:
      return "error";
    case 2:
      return "warning";
    case 3:
      return "log";
    default:
      return "type " + std::to_string(type);
  }
}

void Row(std::string& out, const char* label, const std::string& value) {
  char head[24];
  std::snprintf(head, sizeof(head), "%-17s", label);
  out += head;
  out += value;
  out += '\n';
}

constexpr const char* kIndent = "                   ";

}  // namespace

bool Gunzip(std::string_view compressed, std::string* text, std::string* why, size_t max_bytes) {
  if (compressed.size() < 18 || static_cast<uint8_t>(compressed[0]) != 0x1F ||
      static_cast<uint8_t>(compressed[1]) != 0x8B) {
    *why = "not a gzip file";
    return false;
  }
  if (compressed.size() > 0xFFFFFFFFu) {
    *why = "too large for a report";
    return false;
  }
  z_stream stream = {};
  if (inflateInit2(&stream, 16 + MAX_WBITS) != Z_OK) {
    *why = "cannot start decompressing";
    return false;
  }
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(compressed.data()));
  stream.avail_in = static_cast<uInt>(compressed.size());
  std::string out;
  char buffer[65536];
  int status = Z_OK;
  while (status == Z_OK) {
    stream.next_out = reinterpret_cast<Bytef*>(buffer);
    stream.avail_out = sizeof(buffer);
    status = inflate(&stream, Z_NO_FLUSH);
    const size_t produced = sizeof(buffer) - stream.avail_out;
    if (out.size() + produced > max_bytes) {
      inflateEnd(&stream);
      *why = "inflates to more than " + std::to_string(max_bytes) + " bytes: not a report";
      return false;
    }
    out.append(buffer, produced);
    // No progress with input left means the stream ended early.
    if (status == Z_BUF_ERROR || (status == Z_OK && produced == 0 && stream.avail_in == 0)) break;
  }
  const uInt left = stream.avail_in;
  const char* message = stream.msg;
  inflateEnd(&stream);
  if (status != Z_STREAM_END) {
    *why = status == Z_DATA_ERROR
               ? std::string("corrupt gzip data") + (message ? ": " + std::string(message) : "")
               : "truncated gzip data (the stream ends early)";
    return false;
  }
  if (left != 0) {
    *why = std::to_string(left) + " bytes after the end of the gzip stream";
    return false;
  }
  *text = std::move(out);
  return true;
}

bool ParseReport(std::string_view json, CrashReport* report, std::string* why) {
  // The reader below takes NUL-terminated text: a NUL inside would silently
  // cut the report short.
  if (json.find('\0') != std::string_view::npos) {
    *why = "not a report: the text holds a NUL byte";
    return false;
  }
  rapidjson::Document document;
  document.Parse(json.data(), json.size());
  if (document.HasParseError()) {
    *why = std::string("not JSON: ") + rapidjson::GetParseError_En(document.GetParseError()) + " at byte " +
           std::to_string(document.GetErrorOffset());
    return false;
  }
  if (!document.IsObject()) {
    *why = "not a report: the JSON is not an object";
    return false;
  }
  for (const RequiredKey& key : kRequiredKeys) {
    const auto member = document.FindMember(key.name);
    if (member == document.MemberEnd()) {
      *why = std::string("not a report: no \"") + key.name + "\"";
      return false;
    }
    if (!(member->value.*key.is_kind)()) {
      *why = std::string("not a report: \"") + key.name + "\" is not " + key.kind;
      return false;
    }
  }
  const auto native = document.FindMember("native_crash");
  if (native != document.MemberEnd() && !native->value.IsObject()) {
    *why = "not a report: \"native_crash\" is not an object";
    return false;
  }
  const auto managed = document.FindMember("managed_exception");
  CrashReport read;
  read.hasNativeCrash = native != document.MemberEnd();
  read.hasManagedException = managed != document.MemberEnd() && managed->value.IsObject();
  const std::string text(json);
  JSONRead reader(text.c_str());
  read.Transfer(reader);
  *report = std::move(read);
  return true;
}

std::string FormatUtcTime(uint64_t milliseconds) {
  // Beyond the year 9999 a date says less than the number.
  if (milliseconds >= 253402300800000ull) return std::to_string(milliseconds) + " ms after 1970";
  const int64_t days = static_cast<int64_t>(milliseconds / 86400000);
  const uint64_t in_day = milliseconds % 86400000;
  // Civil date from days since 1970-01-01 (proleptic Gregorian calendar).
  const int64_t z = days + 719468;
  const int64_t era = z / 146097;
  const int64_t day_of_era = z - era * 146097;
  const int64_t year_of_era =
      (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  const int64_t day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const int64_t mp = (5 * day_of_year + 2) / 153;
  const int64_t day = day_of_year - (153 * mp + 2) / 5 + 1;
  const int64_t month = mp < 10 ? mp + 3 : mp - 9;
  const int64_t year = year_of_era + era * 400 + (month <= 2 ? 1 : 0);
  char text[48];
  std::snprintf(text, sizeof(text), "%04d-%02d-%02d %02d:%02d:%02d.%03d UTC", static_cast<int>(year),
                static_cast<int>(month), static_cast<int>(day), static_cast<int>(in_day / 3600000),
                static_cast<int>(in_day / 60000 % 60), static_cast<int>(in_day / 1000 % 60),
                static_cast<int>(in_day % 1000));
  return text;
}

std::string DescribeReport(const CrashReport& report, size_t frames, size_t logs) {
  std::string out;
  std::string application = (report.appid.empty() ? "<no appid>" : report.appid) + " " +
                            (report.version.empty() ? "<no version>" : report.version) + " on " +
                            (report.platform.empty() ? "<no platform>" : report.platform);
  if (!report.name.empty()) application += " (\"" + report.name + "\")";
  if (report.is_editor) application += ", editor";
  Row(out, "Application:", application);
  Row(out, "Report:", report.client_report_id + ", made " + FormatUtcTime(report.client_ts));

  const std::vector<Thread>& threads = report.native_crash.threads();
  if (!report.hasNativeCrash) {
    Row(out, "Threads:", "no native crash in this report");
  } else {
    Row(out, "Threads:", std::to_string(threads.size()));
    bool any = false;
    for (const Thread& thread : threads) {
      if (!thread.crashed) continue;
      any = true;
      Row(out, "Crashed thread:",
          "#" + std::to_string(thread.number) + " " + thread.name + " (" +
              std::to_string(thread.frames().size()) + " frames)");
      const size_t shown = std::min(frames, thread.frames().size());
      for (size_t f = 0; f < shown; ++f) out += kIndent + FrameText(thread.frames()[f]) + "\n";
      if (shown < thread.frames().size()) {
        out += kIndent + std::string("... ") + std::to_string(thread.frames().size() - shown) + " more\n";
      }
    }
    if (!any) Row(out, "Crashed thread:", "none marked");
    Row(out, "Crash hash:", report.native_crash.ComputeHash());
  }
  if (report.hasManagedException) {
    Row(out, "Managed:", report.managed_exception.type + ": " + report.managed_exception.message);
  }

  const std::vector<LogMessage>& messages = report.log_messages;
  if (messages.empty()) {
    Row(out, "Log messages:", "none");
  } else {
    const size_t shown = std::min(logs, messages.size());
    Row(out, "Log messages:", std::to_string(messages.size()) + ", the last " + std::to_string(shown) + ":");
    for (size_t m = messages.size() - shown; m < messages.size(); ++m) {
      out += kIndent + ("[" + LogTypeText(messages[m].type) + "] ") + messages[m].message + "\n";
    }
  }
  if (report.user_metadata.empty()) {
    Row(out, "User metadata:", "none");
  } else {
    for (size_t u = 0; u < report.user_metadata.size(); ++u) {
      const std::string pair = report.user_metadata[u].key + "=" + report.user_metadata[u].value;
      if (u == 0) {
        Row(out, "User metadata:", pair);
      } else {
        out += kIndent + pair + "\n";
      }
    }
  }
  return out;
}

}  // namespace nelko::report_tool
