#include "report/crash_report.h"

#include <exception>

#include "report/gzip.h"
#include "report/json_read.h"
#include "report/json_stream_write.h"
#include "report/json_write.h"
#include "session/session_settings.h"

namespace nelko {

namespace {

// Whether the JSON text's root, should it parse, is an object. Only an
// object names the report's fields: the elements of a root array would
// otherwise fill the fields one after another by position.
bool RootIsObject(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t\r\n");
  return first != std::string::npos && text[first] == '{';
}

class GzipSink : public JSONTextSink {
 public:
  explicit GzipSink(GzipStream& gzip) : gzip_(gzip) {}
  bool Write(std::string_view piece) override { return gzip_.Append(piece); }

 private:
  GzipStream& gzip_;
};

}  // namespace

std::string CrashReport::ToJson() const {
  JSONWrite writer;
  // Transfer serves reading and writing alike and so is not const; writing
  // leaves the report as it is.
  const_cast<CrashReport&>(*this).Transfer(writer);
  return writer.ToText();
}

bool CrashReport::WriteJson(JSONTextSink& sink) const {
  JSONStreamWrite writer(sink);
  // As in ToJson: writing leaves the report as it is.
  const_cast<CrashReport&>(*this).Transfer(writer);
  return writer.Finish();
}

bool CrashReport::ToJsonGzip(std::string* compressed) const {
  try {
    GzipStream gzip;
    GzipSink sink(gzip);
    return WriteJson(sink) && gzip.Finish(compressed);
  } catch (const std::exception&) {
    // Out of memory for the writer's buffers: the report is not cached, and
    // the handler goes on with the rest of crash handling.
    return false;
  }
}

std::unique_ptr<CrashReport> CreateReportFromSession(const SessionSettings& settings) {
  const auto found = settings.metadata.find("ReportJson");
  if (found == settings.metadata.end() || found->second.empty()) return nullptr;

  auto report = std::make_unique<CrashReport>();
  // Text that does not parse leaves every field at its default. Neither
  // presence flag is set yet, so the engine's text cannot bring in a native
  // crash or a managed exception.
  if (RootIsObject(found->second)) {
    JSONRead reader(found->second.c_str());
    report->Transfer(reader);
  }

  report->client_ts = CurrentReportTime();
  report->is_editor = settings.is_editor;

  report->log_messages.clear();
  for (const LogRecord& record : settings.log_ring.Snapshot()) {
    LogMessage message;
    message.message = record.message;
    message.ts = record.timestamp;
    message.frame = static_cast<uint32_t>(record.framecount);
    message.type = static_cast<int16_t>(record.type);
    report->log_messages.push_back(std::move(message));
  }

  // The map is ordered by bytes, which is the order the report lists them in.
  report->user_metadata.clear();
  for (const auto& [key, value] : settings.user_metadata) {
    report->user_metadata.push_back(UserMetadata{key, value});
  }
  return report;
}

}  // namespace nelko
