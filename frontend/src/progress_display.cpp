#include "progress_display.hpp"

#include <array>
#include <cstdio>

#include "kelmar_vindle/file_io.hpp"
#include "units.hpp"

namespace kelmar_vindle::frontend {
namespace {

// The parts that fit in `columns` (0: all), the least important dropped
// first and the first cut; one column is left free, since a line filling
// the last column makes some terminals wrap at the next character.
std::string fitted(std::vector<std::string> parts, std::size_t columns) {
  const auto joined = [&] {
    std::string text;
    for (const auto& part : parts) text += part;
    return text;
  };
  if (columns == 0) return joined();
  const std::size_t room = columns - 1;
  while (parts.size() > 1 && joined().size() > room) parts.pop_back();
  std::string text = joined();
  if (text.size() > room) text.resize(room);
  return text;
}

// Padded to the longest, so that the columns after it stay put.
std::string phase_title(std::string_view phase) {
  constexpr std::string_view kLongest = "checking image";
  std::string title = phase == kPhaseCheckingImage ? std::string(kLongest) : std::string(phase);
  if (title.size() < kLongest.size()) title.resize(kLongest.size(), ' ');
  return title;
}

}  // namespace

ProgressDisplay::ProgressDisplay(int fd, bool terminal, Clock clock, Width width)
    : fd_(fd), terminal_(terminal), clock_(std::move(clock)), width_(std::move(width)) {}

std::vector<std::string> ProgressDisplay::parts(const HelperEvent::Progress& progress,
                                                std::chrono::steady_clock::time_point now) const {
  const double total = static_cast<double>(progress.total);
  const double done = static_cast<double>(progress.bytes_done);
  // A total of 0 is unknown (a stream whose decoded length nothing states):
  // the bytes so far instead of a percentage, and no time left.
  const bool known = progress.total != 0;
  std::array<char, 32> percent_text{};
  std::snprintf(percent_text.data(), percent_text.size(), "%5.1f%%", known ? 100.0 * done / total : 0.0);
  std::vector<std::string> parts{phase_title(progress.phase) + "  " +
                                 (known ? std::string(percent_text.data()) : human_size(progress.bytes_done))};

  const double seconds = std::chrono::duration<double>(now - phase_start_).count();
  const double counted = done - static_cast<double>(phase_first_done_);
  // Over less than the helper's event interval the events only tell when
  // they were sent, not how fast the bytes moved: no rate then.
  if (seconds >= 0.1 && counted > 0.0) {
    const double rate = counted / seconds;
    const auto left = std::chrono::seconds(static_cast<std::int64_t>((total - done) / rate + 0.5));
    parts.push_back("  " + human_rate(rate));
    if (known) parts.push_back("  " + clock_time(left) + " left");
  }
  return parts;
}

void ProgressDisplay::show(const HelperEvent::Progress& progress) {
  const auto now = clock_();
  const bool new_phase = progress.phase != phase_;
  if (new_phase) {
    phase_ = progress.phase;
    phase_start_ = now;
    phase_first_done_ = progress.bytes_done;
  }
  std::string text;
  if (terminal_) {
    // A finished phase keeps its last line; the next one draws below it.
    if (new_phase && line_open_) text = "\n";
    // Appended piece by piece: GCC 12 at -O3 misreads `"\r" + text` as an
    // overlapping copy (-Wrestrict).
    text.append("\r").append(fitted(parts(progress, now), width_ ? width_() : 0)).append("\x1b[K");
    line_open_ = true;
  } else {
    const bool phase_end = progress.total != 0 && progress.bytes_done == progress.total;
    if (!new_phase && !phase_end && printed_at_ && now - *printed_at_ < kPlainInterval) return;
    printed_at_ = now;
    text = fitted(parts(progress, now), 0) + "\n";
  }
  [[maybe_unused]] const auto written = write_all(fd_, text);
}

void ProgressDisplay::finish() {
  if (!line_open_) return;
  line_open_ = false;
  [[maybe_unused]] const auto written = write_all(fd_, "\n");
}

}  // namespace kelmar_vindle::frontend
