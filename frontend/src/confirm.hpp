// Asking the user to confirm by typing what is about to be erased.
#pragma once

#include <string_view>

#include "interrupts.hpp"

namespace kelmar_vindle::frontend {

enum class Answer {
  Confirmed,    // the line, trimmed of white space, was exactly what was asked for
  Refused,      // another line
  EndOfInput,   // the input ended first (Ctrl-D on a terminal)
  Interrupted,  // Ctrl-C or SIGTERM came first
};

// Prints `question` on standard error and reads one line from standard
// input, or until `interrupts` reports a signal. When the input ended or a
// signal came, the question's line is ended with a line feed, so that what
// is said next starts on a line of its own.
Answer ask_to_type(std::string_view question, std::string_view expected, Interrupts& interrupts);

}  // namespace kelmar_vindle::frontend
