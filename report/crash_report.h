#pragma once
// The crash report: what the engine told the session about itself, the
// handler's own facts about the crash, and the native crash with every
// thread. Serialised to one compact JSON document whose key order is the
// order of Transfer below.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "report/log_message.h"
#include "report/managed_exception.h"
#include "report/native_crash.h"
#include "report/report_id.h"
#include "report/user_metadata.h"

namespace nelko {

struct SessionSettings;
class JSONTextSink;

struct CrashReport {
  std::string app_build;
  std::string install_mode;
  std::string install_store;
  std::string name;
  std::string version;
  std::string build_guid;
  std::vector<std::string> build_tags;
  std::string client_report_id = NewReportId();
  uint64_t client_ts = 0;
  std::string userid;
  bool debug_device = false;
  std::string cpu;
  int32_t cpu_count = 0;
  int32_t cpu_freq = 0;
  uint32_t device_info_flags = 0;
  bool rooted_or_jailbroken = false;
  std::string device_model;
  int32_t device_ram = 0;
  std::string screen_size;
  int32_t screen_dpi = 0;
  int32_t refresh_rate = 0;
  uint32_t sensor_flags = 0;
  std::string system_language;
  int32_t device_type = 0;
  int32_t device_vram = 0;
  std::vector<std::string> enabled_vr_devices;
  uint32_t gpu_api = 0;
  uint32_t gpu_caps = 0;
  uint32_t gpu_copy_texture_support = 0;
  int32_t gpu_device_id = 0;
  int32_t gpu_vendor_id = 0;
  std::string gpu_driver;
  int32_t gpu_max_cubemap_size = 0;
  int32_t gpu_max_texture_size = 0;
  std::string gfx;
  uint32_t gpu_render_texture_support = 0;
  uint32_t gpu_shader_caps = 0;
  int32_t gpu_supported_render_target_count = 0;
  uint32_t gpu_texture_format_support = 0;
  std::string gpu_vendor;
  std::string gpu_version;
  std::string installation_id;
  bool is_editor = false;
  bool is_fullscreen = false;
  bool is_wsar_remote = false;
  bool is_ar_app = false;
  std::string localprojectid;
  int32_t os_family = 0;
  std::string os;
  std::string platform;
  uint32_t platformid = 0;
  std::string appid;  // also the project id the report is cached and uploaded under
  int32_t screen_orientation = 0;
  std::string scripting_backend;
  uint64_t sessionid = 0;
  std::string sdk_ver;
  std::string sdk_ver_full;
  std::string vr_device_name;
  std::string vr_device_model;
  uint32_t counter = 1;

  ManagedException managed_exception;  // written and read only when hasManagedException
  NativeCrash native_crash;            // written and read only when hasNativeCrash
  std::vector<LogMessage> log_messages;
  std::vector<UserMetadata> user_metadata;

  // Not serialised: whether managed_exception and native_crash belong to
  // the document.
  bool hasManagedException = false;
  bool hasNativeCrash = false;

  // The report as compact JSON text.
  std::string ToJson() const;
  // The same text, handed to sink a piece at a time and never held whole.
  // True when the sink took all of it.
  bool WriteJson(JSONTextSink& sink) const;
  // What CompressGzip makes of ToJson(), byte for byte, with the text
  // rendered straight into the deflate stream: the memory it takes is the
  // compressed size and a few buffers, not the text's. False when zlib
  // failed or memory ran out; *compressed is then unchanged.
  bool ToJsonGzip(std::string* compressed) const;

  template <class Transferer>
  void Transfer(Transferer& t) {
    t.Transfer(app_build, "app_build");
    t.Transfer(install_mode, "install_mode");
    t.Transfer(install_store, "install_store");
    t.Transfer(name, "name");
    t.Transfer(version, "version");
    t.Transfer(build_guid, "build_guid");
    t.Transfer(build_tags, "build_tags");
    t.Transfer(client_report_id, "client_report_id");
    t.Transfer(client_ts, "client_ts");
    t.Transfer(userid, "userid");
    t.Transfer(debug_device, "debug_device");
    t.Transfer(cpu, "cpu");
    t.Transfer(cpu_count, "cpu_count");
    t.Transfer(cpu_freq, "cpu_freq");
    t.Transfer(device_info_flags, "device_info_flags");
    t.Transfer(rooted_or_jailbroken, "rooted_or_jailbroken");
    t.Transfer(device_model, "device_model");
    t.Transfer(device_ram, "device_ram");
    t.Transfer(screen_size, "screen_size");
    t.Transfer(screen_dpi, "screen_dpi");
    t.Transfer(refresh_rate, "refresh_rate");
    t.Transfer(sensor_flags, "sensor_flags");
    t.Transfer(system_language, "system_language");
    t.Transfer(device_type, "device_type");
    t.Transfer(device_vram, "device_vram");
    t.Transfer(enabled_vr_devices, "enabled_vr_devices");
    t.Transfer(gpu_api, "gpu_api");
    t.Transfer(gpu_caps, "gpu_caps");
    t.Transfer(gpu_copy_texture_support, "gpu_copy_texture_support");
    t.Transfer(gpu_device_id, "gpu_device_id");
    t.Transfer(gpu_vendor_id, "gpu_vendor_id");
    t.Transfer(gpu_driver, "gpu_driver");
    t.Transfer(gpu_max_cubemap_size, "gpu_max_cubemap_size");
    t.Transfer(gpu_max_texture_size, "gpu_max_texture_size");
    t.Transfer(gfx, "gfx");
    t.Transfer(gpu_render_texture_support, "gpu_render_texture_support");
    t.Transfer(gpu_shader_caps, "gpu_shader_caps");
    t.Transfer(gpu_supported_render_target_count, "gpu_supported_render_target_count");
    t.Transfer(gpu_texture_format_support, "gpu_texture_format_support");
    t.Transfer(gpu_vendor, "gpu_vendor");
    t.Transfer(gpu_version, "gpu_version");
    t.Transfer(installation_id, "installation_id");
    t.Transfer(is_editor, "is_editor");
    t.Transfer(is_fullscreen, "is_fullscreen");
    t.Transfer(is_wsar_remote, "is_wsar_remote");
    t.Transfer(is_ar_app, "is_ar_app");
    t.Transfer(localprojectid, "localprojectid");
    t.Transfer(os_family, "os_family");
    t.Transfer(os, "os");
    t.Transfer(platform, "platform");
    t.Transfer(platformid, "platformid");
    t.Transfer(appid, "appid");
    t.Transfer(screen_orientation, "screen_orientation");
    t.Transfer(scripting_backend, "scripting_backend");
    t.Transfer(sessionid, "sessionid");
    t.Transfer(sdk_ver, "sdk_ver");
    t.Transfer(sdk_ver_full, "sdk_ver_full");
    t.Transfer(vr_device_name, "vr_device_name");
    t.Transfer(vr_device_model, "vr_device_model");
    t.Transfer(counter, "counter");
    if (hasManagedException) t.Transfer(managed_exception, "managed_exception");
    if (hasNativeCrash) t.Transfer(native_crash, "native_crash");
    t.Transfer(log_messages, "log_messages");
    t.Transfer(user_metadata, "user_metadata");
  }
};

// Builds the report of a crash from what the engine sent during the session:
// its "ReportJson" metadata (the descriptive fields), the time now, the
// editor flag, the log ring and the user metadata. Null when there is no
// "ReportJson" or it is empty.
std::unique_ptr<CrashReport> CreateReportFromSession(const SessionSettings& settings);

}  // namespace nelko
