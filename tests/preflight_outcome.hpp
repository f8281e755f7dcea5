// Shared by the raw backend tests: what `preflight` should give for a target.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <variant>

#include "kelmar_vindle/device/identity.hpp"
#include "kelmar_vindle/error.hpp"

namespace kelmar_vindle::helper {

// The node's path, or the kind of the refusal.
using PreflightOutcome = std::variant<std::string, ErrorKind>;

inline void expect_preflight(const Result<std::string>& path, const PreflightOutcome& outcome) {
  if (const auto* expected = std::get_if<std::string>(&outcome)) {
    ASSERT_TRUE(path.has_value()) << path.error().text();
    EXPECT_EQ(*path, *expected);
  } else {
    ASSERT_FALSE(path.has_value()) << *path;
    EXPECT_EQ(path.error().kind(), std::get<ErrorKind>(outcome));
  }
}

// `identity` with one change applied.
template <class Change>
DeviceIdentity changed(DeviceIdentity identity, Change change) {
  change(identity);
  return identity;
}

}  // namespace kelmar_vindle::helper
