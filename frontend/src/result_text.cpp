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

// A disk's fault, by the words of the helper's message that name it.
struct FaultAdvice {
  std::string_view words;
  std::string_view advice;
};

constexpr FaultAdvice kFaultAdvice[] = {
    {"the disk went away",
     "the stick was pulled or lost its connection: plug it in firmly, into another port (not through a hub), and "
     "write it again"},
    {"the disk is write-protected",
     "nothing was written: slide the stick's lock switch to unlock it, or use another stick"},
    {"does not fit on", "nothing was written: use a larger stick, or the image meant for this one"},
    {"Input/output error",
     "the stick failed to store or return the image and holds no usable image: it may be worn out; write it again, "
     "and if it fails again use another stick"},
    {"the disk ended there", "the stick is smaller than it said it was: use another stick"},
};

}  // namespace

std::string failed_write_text(const HelperEvent::Result& result, std::string_view job) {
  const std::string message = result.message.value_or("no reason given");
  for (const auto& fault : kFaultAdvice) {
    if (message.find(fault.words) != std::string::npos) {
      return std::string(job) + " failed: " + message + "; " + std::string(fault.advice);
    }
  }
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

std::string ejected_text(const HelperEvent::Result& result, std::string_view disk) {
  if (!result.ejected) return {};
  if (*result.ejected) return std::string(disk) + " was ejected; it may be pulled out now\n";
  return std::string(disk) + " could not be ejected (" + result.eject_error.value_or("no reason given") +
         "); eject it from the desktop before pulling it out\n";
}

}  // namespace kelmar_vindle::frontend
