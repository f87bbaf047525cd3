#pragma once
// The wire format of the command pipe, as the engine writes it: a 32-bit
// little-endian payload length, then the strings of the message, each
// followed by one NUL. The first string is the command name.
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "client/protocol.h"

namespace nelko::client {

using nelko::kMaxPayloadBytes;

// Appends one framed message to `out`. False (and `out` unchanged) when the
// payload would exceed kMaxPayloadBytes or a string holds a NUL byte (the
// handler would split it into two parameters).
bool AppendMessage(std::string& out, const std::vector<std::string_view>& strings);

// One framed message; empty when AppendMessage would refuse it.
std::string EncodeMessage(std::initializer_list<std::string_view> strings);

}  // namespace nelko::client
