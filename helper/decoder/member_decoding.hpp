// The decoding loop of formats whose files hold members one after another
// (gzip members, bzip2 streams, xz streams through libcompression): each
// member on a fresh codec, zero padding allowed after the last, anything
// else after it refused.
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "decoded_output.hpp"
#include "input_buffer.hpp"

namespace kelmar_vindle::decoder {

enum class MemberState { Going, Ended, Corrupt, OutOfMemory };

struct MemberStep {
  std::size_t consumed;
  std::size_t produced;
  MemberState state;
};

// `Codec` decodes one member: default-constructed fresh for each, it says
// whether it could start (`bool ready() const`) and decodes a step
// (`MemberStep step(std::span<const std::byte> in, std::span<std::byte> out,
// bool ended)`, `ended` once no input follows `in`). Every member starts
// with `magic`; `format` names the format in errors.
template <class Codec>
TextResult<void> decode_members(CompressedInput& input, DecodedOutput& output, std::byte magic,
                                std::string_view format) {
  InputBuffer compressed(input);
  auto codec = std::make_unique<Codec>();
  for (;;) {
    if (!codec->ready()) return std::unexpected(std::string("the decoder ran out of memory"));
    if (auto filled = compressed.refill(); !filled) return filled;
    const bool ended = compressed.ended();
    const MemberStep step = codec->step(compressed.pending(), output.room(), ended);
    compressed.consume(step.consumed);
    if (auto written = output.produced(step.produced); !written) return written;
    switch (step.state) {
      case MemberState::Going:
        // After the end of the data, a member may only be flushing what it holds.
        if (ended && step.produced == 0) return std::unexpected(std::string(kEndsEarly));
        break;
      case MemberState::Ended: {
        auto another = compressed.another_member(magic, format);
        if (!another) return std::unexpected(another.error());
        if (!*another) return {};
        codec = std::make_unique<Codec>();
        break;
      }
      case MemberState::Corrupt: return std::unexpected("the " + std::string(format) + " data is corrupt");
      case MemberState::OutOfMemory: return std::unexpected(std::string("the decoder ran out of memory"));
    }
  }
}

}  // namespace kelmar_vindle::decoder
