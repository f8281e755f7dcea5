// A build without libcurl (the static one): a URL is refused with a
// sentence that says what to do instead.
#include "download.hpp"

namespace kelmar_vindle::frontend {

TextResult<std::unique_ptr<Download>> Download::start(const std::string& /*url*/) {
  return std::unexpected(std::string(
      "this kelmar-vindle was built without downloads (a static build); download the image and name the file"));
}

Download::~Download() = default;

TextResult<std::optional<std::uint64_t>> Download::wait_for_length(Interrupts& /*interrupts*/) {
  return std::unexpected(std::string("no download was started"));
}

void Download::stop() {}

std::optional<std::string> Download::failure() { return std::nullopt; }

}  // namespace kelmar_vindle::frontend
