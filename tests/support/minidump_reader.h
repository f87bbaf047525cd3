#pragma once
// Test support: a small reader of minidump files, independent of the system
// library that writes them, for checking what the handler wrote: the header,
// the thread list, the exception stream and the module list.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace nelko::test {

struct MinidumpModule {
  uint64_t base = 0;
  uint32_t size = 0;
  std::string name;  // the path as recorded, ASCII characters kept
};

struct Minidump {
  std::string error;  // empty when the file parsed
  uint32_t stream_count = 0;
  std::vector<uint32_t> thread_ids;
  bool has_exception = false;
  uint32_t exception_thread_id = 0;
  uint32_t exception_code = 0;
  uint64_t exception_address = 0;
  uint64_t exception_chain = 0;  // the nested record's address
  uint32_t exception_parameter_count = 0;
  std::vector<MinidumpModule> modules;

  bool HasThread(uint32_t id) const {
    for (uint32_t t : thread_ids) {
      if (t == id) return true;
    }
    return false;
  }
};

namespace minidump_detail {

inline bool Read32(const std::string& b, uint64_t at, uint32_t* v) {
  if (at + 4 > b.size()) return false;
  std::memcpy(v, b.data() + at, 4);
  return true;
}
inline bool Read64(const std::string& b, uint64_t at, uint64_t* v) {
  if (at + 8 > b.size()) return false;
  std::memcpy(v, b.data() + at, 8);
  return true;
}

}  // namespace minidump_detail

// Parses the bytes of a minidump file. Every offset and count is checked
// against the file's size.
inline Minidump ParseMinidump(const std::string& bytes) {
  using minidump_detail::Read32;
  using minidump_detail::Read64;
  constexpr uint32_t kSignature = 0x504D444D;  // "MDMP"
  constexpr uint32_t kVersion = 0xA793;
  constexpr uint32_t kThreadList = 3, kModuleList = 4, kException = 6;
  constexpr uint32_t kThreadSize = 48, kModuleSize = 108;
  Minidump dump;
  uint32_t signature = 0, version = 0, directory = 0;
  if (!Read32(bytes, 0, &signature) || !Read32(bytes, 4, &version) || !Read32(bytes, 8, &dump.stream_count) ||
      !Read32(bytes, 12, &directory)) {
    dump.error = "short header";
    return dump;
  }
  if (signature != kSignature) return dump.error = "bad signature", dump;
  if ((version & 0xFFFF) != kVersion) return dump.error = "bad version", dump;
  if (uint64_t{directory} + uint64_t{dump.stream_count} * 12 > bytes.size()) {
    return dump.error = "directory beyond the file", dump;
  }
  bool threads_seen = false, modules_seen = false;
  for (uint32_t s = 0; s < dump.stream_count; ++s) {
    uint32_t type = 0, size = 0, rva = 0;
    const uint64_t entry = directory + uint64_t{s} * 12;
    Read32(bytes, entry, &type);
    Read32(bytes, entry + 4, &size);
    Read32(bytes, entry + 8, &rva);
    if (uint64_t{rva} + size > bytes.size()) return dump.error = "stream beyond the file", dump;
    if (type == kThreadList) {
      uint32_t count = 0;
      if (!Read32(bytes, rva, &count) || 4 + uint64_t{count} * kThreadSize > size) {
        return dump.error = "bad thread list", dump;
      }
      for (uint32_t t = 0; t < count; ++t) {
        uint32_t id = 0;
        Read32(bytes, rva + 4 + uint64_t{t} * kThreadSize, &id);
        dump.thread_ids.push_back(id);
      }
      threads_seen = true;
    } else if (type == kModuleList) {
      uint32_t count = 0;
      if (!Read32(bytes, rva, &count) || 4 + uint64_t{count} * kModuleSize > size) {
        return dump.error = "bad module list", dump;
      }
      for (uint32_t m = 0; m < count; ++m) {
        const uint64_t at = rva + 4 + uint64_t{m} * kModuleSize;
        MinidumpModule module;
        uint32_t name_rva = 0, name_bytes = 0;
        Read64(bytes, at, &module.base);
        Read32(bytes, at + 8, &module.size);
        Read32(bytes, at + 20, &name_rva);
        if (!Read32(bytes, name_rva, &name_bytes) || uint64_t{name_rva} + 4 + name_bytes > bytes.size()) {
          return dump.error = "bad module name", dump;
        }
        for (uint32_t c = 0; c + 1 < name_bytes; c += 2) {
          const uint16_t unit = static_cast<uint8_t>(bytes[name_rva + 4 + c]) |
                                static_cast<uint16_t>(static_cast<uint8_t>(bytes[name_rva + 5 + c]) << 8);
          module.name.push_back(unit < 0x80 ? static_cast<char>(unit) : '?');
        }
        dump.modules.push_back(module);
      }
      modules_seen = true;
    } else if (type == kException) {
      if (size < 40 || !Read32(bytes, rva, &dump.exception_thread_id) ||
          !Read32(bytes, rva + 8, &dump.exception_code) ||
          !Read64(bytes, rva + 24, &dump.exception_address) ||
          !Read64(bytes, rva + 16, &dump.exception_chain) ||
          !Read32(bytes, rva + 32, &dump.exception_parameter_count)) {
        return dump.error = "bad exception stream", dump;
      }
      dump.has_exception = true;
    }
  }
  if (!threads_seen) dump.error = "no thread list";
  if (!modules_seen) dump.error = "no module list";
  return dump;
}

}  // namespace nelko::test
