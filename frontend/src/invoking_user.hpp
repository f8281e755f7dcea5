// The person the front end acts for, decided once at start. Run by a user,
// that user. Run as root by sudo or pkexec for someone, that someone: the
// launcher says whom in SUDO_UID (with SUDO_GID) or PKEXEC_UID, and whatever
// the front end reads, creates or runs for them must be what they could
// reach themselves.
#pragma once

#include <sys/types.h>

#include <functional>

#include "kelmar_vindle/client.hpp"
#include "text_result.hpp"

namespace kelmar_vindle::frontend {

struct InvokingUser {
  Client client;  // their ids and groups: the helper's client, and whose rights open their files
  // This process holds root's rights and they do not: every file they name
  // is opened with their rights, and only a helper nobody but root may
  // change is run.
  bool root_for_them = false;

  [[nodiscard]] static TextResult<InvokingUser> of_this_process();
};

struct ProcessIds {
  uid_t real_uid = 0;
  uid_t effective_uid = 0;
  gid_t real_gid = 0;
};

// The decision from what it rests on; `variable` answers an environment
// variable's value or null. The launcher's variables count only when both
// ids are root's (else the real user is the person, and a setuid front end
// acts for them too). Refused: a variable that is not a decimal id,
// SUDO_UID and PKEXEC_UID naming different users, and a PKEXEC_UID the user
// database does not know (its primary group comes from there).
[[nodiscard]] TextResult<InvokingUser> invoking_user(const ProcessIds& ids,
                                                     const std::function<const char*(const char*)>& variable);

}  // namespace kelmar_vindle::frontend
