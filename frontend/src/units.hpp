// Quantities as a person reads them.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace kelmar_vindle::frontend {

// Decimal units, as disk makers count: "512 B", "3.7 MB", "31.0 GB".
std::string human_size(std::uint64_t bytes);

// "18.3 MB/s"; a rate below one byte a second reads "0 B/s".
std::string human_rate(double bytes_per_second);

// "0:07", "12:34", "1:02:03".
std::string clock_time(std::chrono::seconds duration);

// "0.42 s" under ten seconds, "12.3 s" under a minute, else as `clock_time`.
std::string elapsed_time(std::chrono::steady_clock::duration duration);

}  // namespace kelmar_vindle::frontend
