// Quantities as a person reads them.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace kelmar_vindle::frontend {

// Binary units as lsblk prints them, one decimal that is left out when it is
// zero: "512 B", "3.7 MiB", "28.9 GiB", "500 GiB".
std::string human_size(std::uint64_t bytes);

// In the same units: "18.3 MiB/s"; a rate below one byte a second reads
// "0 B/s".
std::string human_rate(double bytes_per_second);

// "0:07", "12:34", "1:02:03".
std::string clock_time(std::chrono::seconds duration);

// "0.42 s" under ten seconds, "12.3 s" under a minute, else as `clock_time`.
std::string elapsed_time(std::chrono::steady_clock::duration duration);

}  // namespace kelmar_vindle::frontend
