#include "kelmar_vindle/error.hpp"

#include <gtest/gtest.h>

#include <set>

namespace kelmar_vindle {
namespace {

using K = ErrorKind;
using C = ErrorCode;

struct KindCase {
  Error error;
  std::string_view text;
  ErrorCode code;
};

// Every kind with sample data: its text and its code.
const std::vector<KindCase>& all_kinds() {
  static const std::vector<KindCase> cases{
      {Error::make<K::CatalogParse>("x"), "catalog parse error: x", C::Protocol},
      {Error::make<K::CatalogValidation>("x"), "catalog validation failed: x", C::Protocol},
      {Error::make<K::UrlHostNotAllowlisted>("h"), "URL host is not allowlisted: h", C::Protocol},
      {Error::make<K::UrlPathNotCatalog>("/p"), "URL path is not a media catalog path: /p", C::Protocol},
      {Error::make<K::UrlUsesUpdateFeed>("u"),
       "URL uses the device update feed; ISO catalog must not use /update/kelmar/: u", C::Protocol},
      {Error::make<K::UrlSchemeNotHttps>("http://a"), "URL scheme must be https: http://a", C::Protocol},
      {Error::make<K::ChecksumMismatch>("aa", "bb"), "checksum mismatch: expected aa, actual bb", C::Protocol},
      {Error::make<K::SizeMismatch>(8, 9), "size mismatch: expected 8, actual 9", C::Protocol},
      {Error::make<K::Io>("disk gone"), "I/O error: disk gone", C::Protocol},
      {Error::make<K::DownloadMissingObject>("k"), "download source has no object for k", C::Protocol},
      {Error::make<K::LiveHttpsForbiddenP1>(), "live HTTPS is forbidden in P1", C::Protocol},
      {Error::make<K::DeviceNotEligible>("why"), "device is not eligible: why", C::Protocol},
      {Error::make<K::RawWriteForbiddenP1>(), "raw USB write is forbidden in P1", C::WriteForbiddenInP2b},
      {Error::make<K::RawWriteForbiddenP2b>(), "raw USB write is forbidden in P2b; validate only",
       C::WriteForbiddenInP2b},
      {Error::make<K::RealWriteNotEnabled>(), "real USB write is not enabled (P2c-4 not approved)",
       C::RealWriteNotEnabled},
      {Error::make<K::WriteCancelled>(), "write cancelled; target is incomplete", C::WriteCancelled},
      {Error::make<K::ImageHashMismatch>("e", "a"), "image hash mismatch: expected e, actual a", C::ImageHashMismatch},
      {Error::make<K::VerifyMismatch>("e", "a"), "write verify mismatch: expected e, actual a", C::VerifyMismatch},
      {Error::make<K::Protocol>("missing field `cmd`"), "helper protocol error: missing field `cmd`", C::Protocol},
      {Error::make<K::PlatformEnumerationForbiddenP1>(), "platform disk enumeration is forbidden in P1", C::Protocol},
      {Error::make<K::PlatformEnumerationUnavailable>(), "platform enumeration is not available on this OS",
       C::Protocol},
      {Error::make<K::DeviceGone>(), "device disappeared before revalidation", C::DeviceGone},
      {Error::make<K::DeviceIdentityMismatch>(), "device identity does not match the confirmed target",
       C::DeviceIdentityMismatch},
      {Error::make<K::DeviceAmbiguous>(), "more than one device matches the weak identity", C::DeviceAmbiguous},
      {Error::make<K::RejectedSystem>(), "refused: system or internal disk", C::RejectedSystem},
      {Error::make<K::RejectedNotUsb>(), "refused: not a USB disk", C::RejectedNotUsb},
      {Error::make<K::KeyGenerationForbiddenP1>(), "Ed25519 key generation is forbidden in P1", C::Protocol},
      {Error::make<K::SignatureVerificationNotImplemented>(),
       "catalog signature is present but verification is not implemented in P1", C::Protocol},
      {Error::make<K::ElevationDenied>(), "administrator permission was denied", C::ElevationDenied},
      {Error::make<K::WriteStoppedBeforeDeviceOpen>(), "write prepared; raw device open is not enabled",
       C::WriteStoppedBeforeDeviceOpen},
      {Error::make<K::NotAuthorized>("/dev/sdb"), "not authorized to write /dev/sdb", C::NotAuthorized},
      {Error::make<K::AuthorizationDismissed>(), "authorization dismissed", C::NotAuthorized},
      {Error::make<K::AuthorizationUnavailable>("no bus"), "no authority answered: no bus",
       C::AuthorizationUnavailable},
  };
  return cases;
}

TEST(ErrorKinds, EveryKindHasItsTextAndCode) {
  ASSERT_EQ(all_kinds().size(), kErrorKindCount);
  for (std::size_t i = 0; i < all_kinds().size(); ++i) {
    const KindCase& c = all_kinds()[i];
    SCOPED_TRACE(c.text);
    EXPECT_EQ(static_cast<std::size_t>(c.error.kind()), i) << "kinds keep their declaration order";
    EXPECT_EQ(c.error.text(), c.text);
    EXPECT_EQ(c.error.code(), c.code);
    EXPECT_EQ(error_code_of(c.error.kind()), c.code);
  }
}

TEST(ErrorKinds, DataIsInsertedVerbatimInOrder) {
  // Placeholders in the data are not expanded again, and order is expected first.
  EXPECT_EQ(Error::make<K::ImageHashMismatch>("{}", "x\ny").text(), "image hash mismatch: expected {}, actual x\ny");
  EXPECT_EQ(Error::make<K::SizeMismatch>(0, 18446744073709551615ULL).text(),
            "size mismatch: expected 0, actual 18446744073709551615");
  EXPECT_EQ(Error::protocol("").text(), "helper protocol error: ");
  EXPECT_EQ(Error::io("x").detail(), "x");
}

TEST(ErrorCodes, NamesRoundTripAndNothingElseIsAccepted) {
  const std::vector<std::string_view> names{"device_gone",
                                            "device_identity_mismatch",
                                            "device_ambiguous",
                                            "rejected_system",
                                            "rejected_not_usb",
                                            "protocol",
                                            "write_forbidden_in_p2b",
                                            "real_write_not_enabled",
                                            "write_cancelled",
                                            "image_hash_mismatch",
                                            "verify_mismatch",
                                            "elevation_denied",
                                            "write_stopped_before_device_open",
                                            "not_authorized",
                                            "authorization_unavailable"};
  ASSERT_EQ(names.size(), kErrorCodeCount);
  for (std::size_t i = 0; i < names.size(); ++i) {
    const auto code = static_cast<ErrorCode>(i);
    EXPECT_EQ(error_code_name(code), names[i]);
    EXPECT_EQ(error_code_from_name(names[i]), code);
  }
  for (std::string_view bad : {"", "Protocol", "protocol ", "write_forbidden_in_p1", "device-gone"}) {
    EXPECT_EQ(error_code_from_name(bad), std::nullopt) << bad;
  }
}

}  // namespace
}  // namespace kelmar_vindle
