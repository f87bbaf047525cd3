#include "bench/report_workload.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <vector>

namespace nelko::bench {
namespace {

std::string Text(size_t bytes, char fill) {
  std::string text = "Log line with some detail: ";
  while (text.size() < bytes) text.push_back(fill);
  text.resize(bytes);
  return text;
}

StackFrame Frame(size_t thread, size_t index) {
  static const char* const kModules[][3] = {
      {"C:\\Program Files\\Game\\GameAssembly.dll", "GameAssembly.pdb", "5A1F0C2E9B7D4E3A8C6B1D2E3F4A5B6C1"},
      {"C:\\Program Files\\Game\\EnginePlayer.dll", "EnginePlayer_Win64_x64.pdb",
       "0F1E2D3C4B5A69788796A5B4C3D2E1F02"},
      {"C:\\Windows\\System32\\kernel32.dll", "kernel32.pdb", "D4E5F60718293A4B5C6D7E8F90A1B2C31"},
      {"C:\\Windows\\System32\\ntdll.dll", "ntdll.pdb", "1122334455667788990AABBCCDDEEFF01"},
  };
  StackFrame frame;
  if (index % 4 == 3) {
    frame.managed = true;
    char desc[96];
    std::snprintf(desc, sizeof desc, "Game.Systems.Worker%zu.Update%zu()", thread % 16, index);
    frame.managed_frame_desc = desc;
    return frame;
  }
  const auto& module = kModules[(thread + index) % 4];
  const uint64_t base = 0x7FF800000000ull + 0x1000000ull * ((thread + index) % 4);
  frame.image_name = module[0];
  frame.pdb_name = module[1];
  frame.image_uuid = module[2];
  frame.image_base_address = base;
  frame.relative_pc = 0x1000 + 0x37 * index + thread;
  frame.absolute_pc = base + frame.relative_pc;
  return frame;
}

// A transferer that writes each field straight into RapidJSON's writer.
class StreamingWrite {
 public:
  static constexpr bool kReading = false;
  explicit StreamingWrite(rapidjson::Writer<rapidjson::StringBuffer>& writer) : writer_(writer) {}

  void Transfer(std::string& value, const char* key) {
    Key(key);
    writer_.String(value.c_str(), static_cast<rapidjson::SizeType>(std::strlen(value.c_str())));
  }
  void Transfer(int32_t& value, const char* key) { Key(key), writer_.Int(value); }
  void Transfer(uint32_t& value, const char* key) { Key(key), writer_.Uint(value); }
  void Transfer(uint64_t& value, const char* key) { Key(key), writer_.Uint64(value); }
  void Transfer(int16_t& value, const char* key) { Key(key), writer_.Int(value); }
  void Transfer(bool& value, const char* key) { Key(key), writer_.Bool(value); }
  void Transfer(std::vector<std::string>& values, const char* key) {
    Key(key);
    writer_.StartArray();
    for (const std::string& value : values) writer_.String(value.c_str());
    writer_.EndArray();
  }
  template <class Record>
  void Transfer(Record& record, const char* key) {
    Key(key);
    writer_.StartObject();
    in_array_.push_back(false);
    record.Transfer(*this);
    in_array_.pop_back();
    writer_.EndObject();
  }
  template <class Record>
  void Transfer(std::vector<Record>& records, const char* key) {
    Key(key);
    writer_.StartArray();
    in_array_.push_back(true);
    for (Record& record : records) Transfer(record, "data");
    in_array_.pop_back();
    writer_.EndArray();
  }

 private:
  void Key(const char* key) {
    if (!in_array_.back()) writer_.Key(key);
  }
  rapidjson::Writer<rapidjson::StringBuffer>& writer_;
  std::vector<bool> in_array_{false};
};

}  // namespace

std::unique_ptr<CrashReport> MakeReport(const ReportShape& shape) {
  auto report = std::make_unique<CrashReport>();
  report->app_build = "2026.1.4f1";
  report->name = "Space Shooter";
  report->version = "1.4.2";
  report->build_guid = "8c1d3f0a6b2e4d7f9a0b1c2d3e4f5a6b";
  report->build_tags = {"release", "steam"};
  report->client_ts = 1772720581042ull;
  report->cpu = "AMD Ryzen 7 5800X 8-Core Processor";
  report->cpu_count = 16;
  report->cpu_freq = 3800;
  report->device_model = "System Product Name (System manufacturer)";
  report->device_ram = 32768;
  report->screen_size = "2560x1440";
  report->screen_dpi = 96;
  report->refresh_rate = 144;
  report->system_language = "English";
  report->gpu_driver = "31.0.15.5222";
  report->gpu_vendor = "NVIDIA";
  report->gpu_version = "Direct3D 11.0 [level 11.1]";
  report->gfx = "NVIDIA GeForce RTX 3070";
  report->os = "Windows 11  (10.0.22631) 64bit";
  report->platform = "WindowsPlayer";
  report->appid = "0b7e2c4a-1f3d-4e5b-8a6c-9d0e1f2a3b4c";
  report->sessionid = 4417281938472910ull;
  report->scripting_backend = "il2cpp";
  report->hasNativeCrash = true;
  for (size_t t = 0; t < shape.threads; ++t) {
    Thread thread;
    thread.number = static_cast<uint32_t>(t);
    thread.name = ThreadName(static_cast<uint32_t>(4000 + 4 * t));
    thread.crashed = t == 0;
    for (size_t f = 0; f < shape.frames_per_thread; ++f) thread.AddFrame(Frame(t, f));
    report->native_crash.AddThread(thread);
  }
  for (size_t i = 0; i < shape.log_messages; ++i) {
    report->log_messages.push_back(LogMessage{Text(shape.log_message_bytes, static_cast<char>('a' + i % 26)),
                                              1772720000000ull + i, static_cast<uint32_t>(9000 + i),
                                              static_cast<int16_t>(i % 5)});
  }
  for (int i = 0; i < 10; ++i) {
    report->user_metadata.push_back(
        UserMetadata{"key" + std::to_string(i), "value number " + std::to_string(i)});
  }
  return report;
}

std::string RenderWithRapidJsonWriter(const CrashReport& report) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  StreamingWrite transfer(writer);
  writer.StartObject();
  const_cast<CrashReport&>(report).Transfer(transfer);
  writer.EndObject();
  return std::string(buffer.GetString(), buffer.GetSize());
}

std::string DeflateOnce(std::string_view bytes) {
  z_stream stream{};
  if (deflateInit2(&stream, 6, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY) != Z_OK) return {};
  std::string out(deflateBound(&stream, static_cast<uLong>(bytes.size())), '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
  stream.avail_in = static_cast<uInt>(bytes.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  const int result = deflate(&stream, Z_FINISH);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return result == Z_STREAM_END ? out : std::string();
}

}  // namespace nelko::bench
