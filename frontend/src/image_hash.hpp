// The image's digest taken by the front end itself, when no published one
// was given, shown like the helper's phases.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "interrupts.hpp"
#include "progress_display.hpp"
#include "text_result.hpp"

namespace kelmar_vindle::frontend {

// Hashes the `size` bytes of `fd` from offset 0 (never its file offset),
// showing the phase `kPhaseHashingImage` on `display` at its start, its end
// and at most every `kHashShowInterval` between. The hex digest; none when
// `interrupts` reported a signal first (the hash then stops within a MiB).
// Fails with the system's text on a read error or a file that ends early.
[[nodiscard]] TextResult<std::optional<std::string>> hash_image(int fd, std::uint64_t size, ProgressDisplay& display,
                                                                Interrupts& interrupts);

inline constexpr std::chrono::milliseconds kHashShowInterval{100};

}  // namespace kelmar_vindle::frontend
