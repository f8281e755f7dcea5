#include "image_hash.hpp"

#include <chrono>

#include "kelmar_vindle/checksum.hpp"

namespace kelmar_vindle::frontend {

TextResult<std::optional<std::string>> hash_image(int fd, std::uint64_t size, ProgressDisplay& display,
                                                  Interrupts& interrupts) {
  using Clock = std::chrono::steady_clock;
  const auto show = [&](std::uint64_t done) {
    display.show(HelperEvent::Progress{std::string(kPhaseHashingImage), done, size});
  };
  bool interrupted = false;
  auto shown_at = Clock::now();
  show(0);
  const auto step = [&](std::uint64_t done) -> Result<void> {
    if (interrupts.take()) {
      interrupted = true;
      return std::unexpected(Error::io("interrupted"));
    }
    const auto now = Clock::now();
    if (done == size || now - shown_at >= kHashShowInterval) {
      shown_at = now;
      show(done);
    }
    return {};
  };
  auto digest = checksum::sha256_at(fd, 0, size, step);
  if (interrupted) return std::optional<std::string>();
  if (!digest) return std::unexpected(digest.error().text());
  return std::optional<std::string>(std::move(*digest));
}

}  // namespace kelmar_vindle::frontend
