// A build that cannot reach polkit: --authorize polkit stops start-up, so
// that a helper told to ask never writes unasked.
#include "polkit_authority.hpp"

namespace kelmar_vindle::helper {

TextResult<std::unique_ptr<WriteAuthorizer>> make_polkit_authorizer(std::string /*action_id*/) {
  return std::unexpected(
      std::string("--authorize polkit is not available in this build (it needs Linux and libsystemd's D-Bus library)"));
}

}  // namespace kelmar_vindle::helper
