#include "client/message_encoding.h"

namespace nelko::client {

bool AppendMessage(std::string& out, const std::vector<std::string_view>& strings) {
  uint64_t payload = 0;
  for (std::string_view s : strings) {
    if (s.find('\0') != std::string_view::npos) return false;
    payload += s.size() + 1;
  }
  if (payload > kMaxPayloadBytes) return false;
  const uint32_t n = static_cast<uint32_t>(payload);
  out.reserve(out.size() + 4 + n);
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((n >> (8 * i)) & 0xFF));
  for (std::string_view s : strings) {
    out.append(s.data(), s.size());
    out.push_back('\0');
  }
  return true;
}

std::string EncodeMessage(std::initializer_list<std::string_view> strings) {
  std::string out;
  AppendMessage(out, std::vector<std::string_view>(strings));
  return out;
}

}  // namespace nelko::client
