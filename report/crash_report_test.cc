#include "report/crash_report.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <utility>

#include "report/gzip.h"
#include "report/json_read.h"
#include "report/json_stream_write.h"

namespace nelko {
namespace {

// Every flat key in document order with the value a new report carries.
const char kDefaultFlatKeys[] =
    R"("app_build":"","install_mode":"","install_store":"","name":"","version":"","build_guid":"",)"
    R"("build_tags":[],"client_report_id":"ID","client_ts":0,"userid":"","debug_device":false,)"
    R"("cpu":"","cpu_count":0,"cpu_freq":0,"device_info_flags":0,"rooted_or_jailbroken":false,)"
    R"("device_model":"","device_ram":0,"screen_size":"","screen_dpi":0,"refresh_rate":0,)"
    R"("sensor_flags":0,"system_language":"","device_type":0,"device_vram":0,"enabled_vr_devices":[],)"
    R"("gpu_api":0,"gpu_caps":0,"gpu_copy_texture_support":0,"gpu_device_id":0,"gpu_vendor_id":0,)"
    R"("gpu_driver":"","gpu_max_cubemap_size":0,"gpu_max_texture_size":0,"gfx":"",)"
    R"("gpu_render_texture_support":0,"gpu_shader_caps":0,"gpu_supported_render_target_count":0,)"
    R"("gpu_texture_format_support":0,"gpu_vendor":"","gpu_version":"","installation_id":"",)"
    R"("is_editor":false,"is_fullscreen":false,"is_wsar_remote":false,"is_ar_app":false,)"
    R"("localprojectid":"","os_family":0,"os":"","platform":"","platformid":0,"appid":"",)"
    R"("screen_orientation":0,"scripting_backend":"","sessionid":0,"sdk_ver":"","sdk_ver_full":"",)"
    R"("vr_device_name":"","vr_device_model":"","counter":1)";

const char kEmptyNativeCrash[] =
    R"("native_crash":{"signal_name":"","signal_code":"","signal_address":0,"signal_pc":0,"threads":[]})";

std::string Document(const std::string& tail) { return std::string("{") + kDefaultFlatKeys + tail + "}"; }

// A report whose random id is pinned so the text can be compared whole.
CrashReport PinnedReport() {
  CrashReport report;
  report.client_report_id = "ID";
  return report;
}

StackFrame NativeFrame(uint64_t pc) {
  StackFrame frame;
  frame.image_uuid = "UUID1";
  frame.image_name = "game.exe";
  frame.image_base_address = 0x400000;
  frame.pdb_name = "game.pdb";
  frame.absolute_pc = 0x400000 + pc;
  frame.relative_pc = pc;
  return frame;
}

// --- The document layout ----------------------------------------------------

TEST(CrashReportJson, NewReportCarriesEveryFlatKeyInOrderThenEmptyLists) {
  EXPECT_EQ(PinnedReport().ToJson(), Document(R"(,"log_messages":[],"user_metadata":[])"));
}

TEST(CrashReportJson, NativeCrashAppearsOnlyWhenFlagged) {
  CrashReport report = PinnedReport();
  Thread thread;
  thread.AddFrame(NativeFrame(0x10));
  report.native_crash.AddThread(thread);  // present but not flagged
  EXPECT_EQ(report.ToJson().find("native_crash"), std::string::npos);

  CrashReport flagged = PinnedReport();
  flagged.hasNativeCrash = true;
  EXPECT_EQ(flagged.ToJson(),
            Document(std::string(",") + kEmptyNativeCrash + R"(,"log_messages":[],"user_metadata":[])"));
}

TEST(CrashReportJson, ManagedExceptionPrecedesNativeCrashAndListsComeLast) {
  CrashReport report = PinnedReport();
  report.hasManagedException = true;
  report.hasNativeCrash = true;
  report.managed_exception.type = "T";
  report.log_messages.push_back(LogMessage{"m", 5, 6, 7});
  report.user_metadata.push_back(UserMetadata{"k", "v"});
  EXPECT_EQ(report.ToJson(),
            Document(std::string(R"(,"managed_exception":{"type":"T","message":"","stack_trace":"",)") +
                     R"("native_thread_info":{"number":0,"name":"","crashed":false,"frames":[]}},)" +
                     kEmptyNativeCrash + R"(,"log_messages":[{"message":"m","ts":5,"frame":6,"type":7}],)" +
                     R"("user_metadata":[{"key":"k","value":"v"}])"));
}

TEST(CrashReportJson, ThreadsAndFramesUseTheirOwnKeyOrder) {
  CrashReport report = PinnedReport();
  report.hasNativeCrash = true;
  Thread thread;
  thread.number = 3;
  thread.name = ThreadName(4242);
  thread.crashed = true;
  StackFrame managed;
  managed.managed = true;
  managed.managed_frame_desc = "Game.Update()";
  thread.AddFrame(NativeFrame(0x10));
  thread.AddFrame(managed);
  report.native_crash.AddThread(thread);
  const std::string json = report.ToJson();
  EXPECT_NE(json.find(R"("threads":[{"number":3,"name":"Thread 4242","crashed":true,"frames":[)"
                      R"({"image_uuid":"UUID1","image_name":"game.exe","image_base_address":4194304,)"
                      R"("pdb_name":"game.pdb","is_user_image":false,"absolute_pc":4194320,"relative_pc":16,)"
                      R"("managed":false,"managed_frame_desc":""},)"
                      R"({"image_uuid":"","image_name":"","image_base_address":0,"pdb_name":"",)"
                      R"("is_user_image":false,"absolute_pc":0,"relative_pc":0,"managed":true,)"
                      R"j("managed_frame_desc":"Game.Update()"}]}]})j"),
            std::string::npos)
      << json;
  EXPECT_EQ(json.find("inAppDirectory"), std::string::npos);
}

TEST(CrashReportJson, NumbersKeepTheirKindsAtTheLimits) {
  CrashReport report = PinnedReport();
  report.log_messages.push_back(LogMessage{"", UINT64_MAX, UINT32_MAX, -1});
  report.device_info_flags = UINT32_MAX;
  report.cpu_count = INT32_MIN;
  report.sessionid = UINT64_MAX;
  const std::string json = report.ToJson();
  EXPECT_NE(json.find(R"({"message":"","ts":18446744073709551615,"frame":4294967295,"type":-1})"),
            std::string::npos);
  EXPECT_NE(json.find(R"("device_info_flags":4294967295,)"), std::string::npos);
  EXPECT_NE(json.find(R"("cpu_count":-2147483648,)"), std::string::npos);
  EXPECT_NE(json.find(R"("sessionid":18446744073709551615,)"), std::string::npos);
}

// --- The cached form: the text streamed into gzip ----------------------------

// A crash with every kind of field filled: module paths with backslashes,
// managed frames whose text needs escapes, log lines, user metadata.
CrashReport CrashOf(uint32_t threads, uint32_t frames) {
  CrashReport report = PinnedReport();
  report.appid = "0b7e2c4a-1f3d-4e5b-8a6c-9d0e1f2a3b4c";
  report.build_tags = {"release", "tag \"quoted\""};
  report.sessionid = UINT64_MAX;
  report.hasNativeCrash = true;
  for (uint32_t t = 0; t < threads; ++t) {
    Thread thread;
    thread.number = t;
    thread.name = ThreadName(4000 + 4 * t);
    thread.crashed = t == 0;
    for (uint32_t f = 0; f < frames; ++f) {
      StackFrame frame = NativeFrame(0x1000 + 0x37 * f + t);
      frame.image_name = "C:\\Game\\Module" + std::to_string((t + f) % 5) + ".dll";
      if (f % 4 == 3) {
        frame = StackFrame{};
        frame.managed = true;
        frame.managed_frame_desc =
            "Game.Worker" + std::to_string(t % 16) + ".Update(\"x\"\t" + std::to_string(f) + ")";
      }
      thread.AddFrame(frame);
    }
    report.native_crash.AddThread(thread);
  }
  for (uint32_t i = 0; i < 50; ++i) {
    report.log_messages.push_back(LogMessage{std::string(120, static_cast<char>('a' + i % 26)) + "\x01\n",
                                             1772720000000ull + i, i, -1});
  }
  report.user_metadata.push_back(UserMetadata{"k", "v\\w"});
  return report;
}

class StringSink : public JSONTextSink {
 public:
  bool Write(std::string_view piece) override {
    text.append(piece);
    return true;
  }
  std::string text;
};

TEST(CrashReportGzip, StreamedIntoDeflateGivesTheBytesOfTheWholeTextCompressedAtOnce) {
  // A typical crash, and one whose text is many times deflate's window and
  // the writer's piece.
  for (const auto& [threads, frames] : {std::pair{64u, 40u}, std::pair{256u, 200u}}) {
    const CrashReport report = CrashOf(threads, frames);
    const std::string text = report.ToJson();
    StringSink sink;
    ASSERT_TRUE(report.WriteJson(sink));
    EXPECT_TRUE(sink.text == text) << threads << " threads: streamed text differs";

    std::string whole;
    ASSERT_TRUE(CompressGzip(text, &whole));
    std::string streamed;
    ASSERT_TRUE(report.ToJsonGzip(&streamed));
    EXPECT_TRUE(streamed == whole) << threads << " threads: gzip of " << text.size() << " bytes differs";
  }
}

// --- Records and their limits -----------------------------------------------

TEST(CrashReportRecords, NewReportsGetDistinctLowercaseIds) {
  CrashReport a;
  CrashReport b;
  EXPECT_EQ(a.client_report_id.size(), 32u);
  EXPECT_EQ(a.client_report_id.find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_NE(a.client_report_id, b.client_report_id);
  EXPECT_FALSE(a.hasNativeCrash);
  EXPECT_FALSE(a.hasManagedException);
}

TEST(CrashReportRecords, NativeCrashKeepsTheFirst1024ThreadsInWalkOrder) {
  NativeCrash crash;
  for (uint32_t i = 0; i < 1025; ++i) {
    Thread thread;
    thread.number = i;
    crash.AddThread(thread);
  }
  ASSERT_EQ(crash.threads().size(), NativeCrash::kMaxThreads);
  EXPECT_EQ(crash.threads().front().number, 0u);
  EXPECT_EQ(crash.threads().back().number, 1023u);
}

TEST(CrashReportRecords, ThreadKeepsTheFirst2048FramesAndRefusesMore) {
  Thread thread;
  size_t accepted = 0;
  for (uint64_t pc = 0; pc < 3000; ++pc) accepted += thread.AddFrame(NativeFrame(pc)) ? 1 : 0;
  EXPECT_EQ(accepted, Thread::kMaxFrames);
  ASSERT_EQ(thread.frames().size(), 2048u);
  EXPECT_EQ(thread.frames().back().relative_pc, 2047u);
}

TEST(CrashReportRecords, FrameCopiesCarryTheUnserialisedFlag) {
  StackFrame frame = NativeFrame(1);
  frame.inAppDirectory = false;
  Thread thread;
  thread.AddFrame(frame);
  EXPECT_FALSE(thread.frames()[0].inAppDirectory);
  EXPECT_TRUE(StackFrame{}.inAppDirectory);
}

TEST(CrashReportRecords, ThreadNameShowsTheSystemId) { EXPECT_EQ(ThreadName(7), "Thread 7"); }

// --- Reading a document back ------------------------------------------------

TEST(CrashReportRead, WrittenReportReadsBackToTheSameText) {
  CrashReport report = PinnedReport();
  report.hasNativeCrash = true;
  report.hasManagedException = true;
  report.build_tags = {"a", "b"};
  report.sessionid = UINT64_MAX;
  report.managed_exception.native_thread_info.AddFrame(NativeFrame(9));
  Thread thread;
  thread.crashed = true;
  thread.AddFrame(NativeFrame(0x20));
  report.native_crash.AddThread(thread);
  report.log_messages.push_back(LogMessage{"x\ty", 1, 2, -3});
  const std::string text = report.ToJson();

  CrashReport copy;
  copy.hasNativeCrash = true;
  copy.hasManagedException = true;
  JSONRead reader(text.c_str());
  copy.Transfer(reader);
  EXPECT_EQ(copy.ToJson(), text);
}

TEST(CrashReportRead, LimitsHoldForDocumentsReadBack) {
  std::string frames;
  for (int i = 0; i < 2100; ++i) frames += i == 0 ? "{}" : ",{}";
  std::string threads = R"({"frames":[)" + frames + "]}";
  for (int i = 1; i < 1030; ++i) threads += ",{}";
  const std::string text = R"({"native_crash":{"threads":[)" + threads + "]}}";
  CrashReport report;
  report.hasNativeCrash = true;
  JSONRead reader(text.c_str());
  report.Transfer(reader);
  ASSERT_EQ(report.native_crash.threads().size(), NativeCrash::kMaxThreads);
  EXPECT_EQ(report.native_crash.threads()[0].frames().size(), Thread::kMaxFrames);
}

}  // namespace
}  // namespace nelko
