#include "result_text.hpp"

namespace kelmar_vindle::frontend {
namespace {

// A refusal a person can act on, by its code's wire name.
struct Advice {
  std::string_view code;
  std::string_view verdict;  // what became of the write
  std::string_view advice;
};

constexpr Advice kAdvice[] = {
    {"not_authorized", "was not authorized",
     "nothing was written; answer the authentication prompt as an administrator, or ask one to let you write "
     "disks"},
    {"authorization_unavailable", "could not be authorized",
     "nothing was written; the system's authority (polkit) or an authentication agent did not answer: try again "
     "from a desktop session, or write with --no-service through pkexec or sudo"},
};

}  // namespace

std::string failed_write_text(const HelperEvent::Result& result, std::string_view job) {
  const std::string message = result.message.value_or("no reason given");
  if (result.error) {
    const std::string_view code = error_code_name(*result.error);
    for (const auto& advice : kAdvice) {
      if (advice.code == code) {
        return std::string(job) + " " + std::string(advice.verdict) + ": " + message + "; " +
               std::string(advice.advice);
      }
    }
  }
  return std::string(job) + " failed: " + message;
}

}  // namespace kelmar_vindle::frontend
