// One decoding from start to end: the stated size, the decoded bytes, the
// status lines, and the exit status.
#pragma once

#include <span>
#include <string_view>

namespace kelmar_vindle::decoder {

// The descriptors the helper sets up before it runs the decoder.
inline constexpr int kInputFd = 0;
inline constexpr int kOutputFd = 1;
inline constexpr int kStatusFd = 3;

// Decodes descriptor 0 into descriptor 1 as `arguments` (without the
// program's name) say, reporting on descriptor 3. Returns the exit status:
// 0 after "done N", 1 after "error TEXT" (or when even that could not be
// reported).
int run_decoder(std::span<const std::string_view> arguments);

}  // namespace kelmar_vindle::decoder
