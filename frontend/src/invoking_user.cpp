#include "invoking_user.hpp"

#include <pwd.h>
#include <unistd.h>

#include <charconv>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kelmar_vindle::frontend {
namespace {

// Decimal digits only, and not the all-ones "no id" value.
template <class Id>
std::optional<Id> read_id(std::string_view text) {
  Id value{};
  const char* end = text.data() + text.size();
  const auto [at, error] = std::from_chars(text.data(), end, value);
  if (text.empty() || text.front() == '+' || error != std::errc() || at != end || value == static_cast<Id>(-1)) {
    return std::nullopt;
  }
  return value;
}

// The variable's id: none when unset, a refusal when it is not an id.
template <class Id>
TextResult<std::optional<Id>> id_variable(const std::function<const char*(const char*)>& variable, const char* name,
                                          std::string_view what) {
  const char* text = variable(name);
  if (text == nullptr) return std::optional<Id>();
  const auto id = read_id<Id>(text);
  if (!id) return std::unexpected(std::string(name) + " is not a " + std::string(what) + " (a decimal number)");
  return id;
}

std::optional<gid_t> primary_group(uid_t uid) {
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) return std::nullopt;
  return found->pw_gid;
}

InvokingUser acting_for(const Client& client) { return {client, !client.is_root()}; }

}  // namespace

TextResult<InvokingUser> invoking_user(const ProcessIds& ids, const std::function<const char*(const char*)>& variable) {
  if (ids.real_uid != 0 || ids.effective_uid != 0) {
    // The launcher's variables are anyone's to set here; the real user is
    // who started the front end.
    const Client self = Client::of_user(ids.real_uid, &ids.real_gid);
    return InvokingUser{self, ids.effective_uid == 0 && !self.is_root()};
  }
  const auto sudo_uid = id_variable<uid_t>(variable, "SUDO_UID", "user ID");
  if (!sudo_uid) return std::unexpected(sudo_uid.error());
  const auto pkexec_uid = id_variable<uid_t>(variable, "PKEXEC_UID", "user ID");
  if (!pkexec_uid) return std::unexpected(pkexec_uid.error());
  if (*sudo_uid && *pkexec_uid && **sudo_uid != **pkexec_uid) {
    return std::unexpected("SUDO_UID (" + std::to_string(**sudo_uid) + ") and PKEXEC_UID (" +
                           std::to_string(**pkexec_uid) + ") name different users; unset the one that is wrong");
  }
  if (*sudo_uid) {
    const auto sudo_gid = id_variable<gid_t>(variable, "SUDO_GID", "group ID");
    if (!sudo_gid) return std::unexpected(sudo_gid.error());
    const gid_t* group = *sudo_gid ? &**sudo_gid : nullptr;
    if (group == nullptr && !primary_group(**sudo_uid)) {
      return std::unexpected("SUDO_UID names user " + std::to_string(**sudo_uid) +
                             ", whom the user database does not know, and SUDO_GID is unset");
    }
    return acting_for(Client::of_user(**sudo_uid, group));
  }
  if (*pkexec_uid) {
    if (!primary_group(**pkexec_uid)) {
      return std::unexpected("PKEXEC_UID names user " + std::to_string(**pkexec_uid) +
                             ", whom the user database does not know");
    }
    return acting_for(Client::of_user(**pkexec_uid));
  }
  return InvokingUser{Client{0, ids.real_gid, {}}, false};
}

TextResult<InvokingUser> InvokingUser::of_this_process() {
  return invoking_user({::getuid(), ::geteuid(), ::getgid()}, [](const char* name) { return std::getenv(name); });
}

}  // namespace kelmar_vindle::frontend
