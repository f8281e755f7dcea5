// When a process started, which tells it from a later process that reuses
// its ID: what polkit's `unix-process` subject carries besides the ID.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string_view>

namespace kelmar_vindle::helper {

// Field 22 of a /proc/{pid}/stat text (`starttime`, clock ticks after boot).
// The second field, the command name, is in parentheses and may itself hold
// spaces and parentheses, so fields are counted from its last ')'. None when
// the text is not of that form.
std::optional<std::uint64_t> start_time_in_stat(std::string_view stat);

// `start_time_in_stat` of /proc/{pid}/stat; none when it cannot be read (no
// such process, or no /proc).
std::optional<std::uint64_t> process_start_time(pid_t pid);

}  // namespace kelmar_vindle::helper
