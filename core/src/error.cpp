#include "kelmar_vindle/error.hpp"

#include <array>

namespace kelmar_vindle {
namespace {

struct KindRow {
  ErrorKind kind;
  std::string_view text;  // "{}" marks where the data goes, in order
  ErrorCode code;
};

// The one table of kinds: text and code. Rows are in declaration order, which
// the static_assert below keeps honest.
constexpr std::array<KindRow, kErrorKindCount> kKinds{{
    {ErrorKind::CatalogParse, "catalog parse error: {}", ErrorCode::Protocol},
    {ErrorKind::CatalogValidation, "catalog validation failed: {}", ErrorCode::Protocol},
    {ErrorKind::UrlHostNotAllowlisted, "URL host is not allowlisted: {}", ErrorCode::Protocol},
    {ErrorKind::UrlPathNotCatalog, "URL path is not a media catalog path: {}", ErrorCode::Protocol},
    {ErrorKind::UrlUsesUpdateFeed, "URL uses the device update feed; ISO catalog must not use /update/kelmar/: {}",
     ErrorCode::Protocol},
    {ErrorKind::UrlSchemeNotHttps, "URL scheme must be https: {}", ErrorCode::Protocol},
    {ErrorKind::ChecksumMismatch, "checksum mismatch: expected {}, actual {}", ErrorCode::Protocol},
    {ErrorKind::SizeMismatch, "size mismatch: expected {}, actual {}", ErrorCode::Protocol},
    {ErrorKind::Io, "I/O error: {}", ErrorCode::Protocol},
    {ErrorKind::DownloadMissingObject, "download source has no object for {}", ErrorCode::Protocol},
    {ErrorKind::LiveHttpsForbiddenP1, "live HTTPS is forbidden in P1", ErrorCode::Protocol},
    {ErrorKind::DeviceNotEligible, "device is not eligible: {}", ErrorCode::Protocol},
    {ErrorKind::RawWriteForbiddenP1, "raw USB write is forbidden in P1", ErrorCode::WriteForbiddenInP2b},
    {ErrorKind::RawWriteForbiddenP2b, "raw USB write is forbidden in P2b; validate only",
     ErrorCode::WriteForbiddenInP2b},
    {ErrorKind::RealWriteNotEnabled, "real USB write is not enabled (P2c-4 not approved)",
     ErrorCode::RealWriteNotEnabled},
    {ErrorKind::WriteCancelled, "write cancelled; target is incomplete", ErrorCode::WriteCancelled},
    {ErrorKind::ImageHashMismatch, "image hash mismatch: expected {}, actual {}", ErrorCode::ImageHashMismatch},
    {ErrorKind::VerifyMismatch, "write verify mismatch: expected {}, actual {}", ErrorCode::VerifyMismatch},
    {ErrorKind::Protocol, "helper protocol error: {}", ErrorCode::Protocol},
    {ErrorKind::PlatformEnumerationForbiddenP1, "platform disk enumeration is forbidden in P1", ErrorCode::Protocol},
    {ErrorKind::PlatformEnumerationUnavailable, "platform enumeration is not available on this OS",
     ErrorCode::Protocol},
    {ErrorKind::DeviceGone, "device disappeared before revalidation", ErrorCode::DeviceGone},
    {ErrorKind::DeviceIdentityMismatch, "device identity does not match the confirmed target",
     ErrorCode::DeviceIdentityMismatch},
    {ErrorKind::DeviceAmbiguous, "more than one device matches the weak identity", ErrorCode::DeviceAmbiguous},
    {ErrorKind::RejectedSystem, "refused: system or internal disk", ErrorCode::RejectedSystem},
    {ErrorKind::RejectedNotUsb, "refused: not a USB disk", ErrorCode::RejectedNotUsb},
    {ErrorKind::KeyGenerationForbiddenP1, "Ed25519 key generation is forbidden in P1", ErrorCode::Protocol},
    {ErrorKind::SignatureVerificationNotImplemented,
     "catalog signature is present but verification is not implemented in P1", ErrorCode::Protocol},
    {ErrorKind::ElevationDenied, "administrator permission was denied", ErrorCode::ElevationDenied},
    {ErrorKind::WriteStoppedBeforeDeviceOpen, "write prepared; raw device open is not enabled",
     ErrorCode::WriteStoppedBeforeDeviceOpen},
    {ErrorKind::NotAuthorized, "not authorized to write {}", ErrorCode::NotAuthorized},
    {ErrorKind::AuthorizationDismissed, "authorization dismissed", ErrorCode::NotAuthorized},
    {ErrorKind::AuthorizationUnavailable, "no authority answered: {}", ErrorCode::AuthorizationUnavailable},
}};

constexpr bool rows_in_declaration_order() {
  for (std::size_t i = 0; i < kKinds.size(); ++i) {
    if (static_cast<std::size_t>(kKinds[i].kind) != i) return false;
  }
  return true;
}
static_assert(rows_in_declaration_order());

constexpr std::array<std::string_view, kErrorCodeCount> kCodeNames{
    "device_gone",
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
    "authorization_unavailable",
};

const KindRow& row_of(ErrorKind kind) { return kKinds[static_cast<std::size_t>(kind)]; }

// Replaces each "{}" of the template, in order, with the next value.
std::string fill(std::string_view text, std::initializer_list<std::string_view> values) {
  std::string out;
  out.reserve(text.size() + 64);
  auto next = values.begin();
  while (!text.empty()) {
    const auto at = text.find("{}");
    if (at == std::string_view::npos || next == values.end()) break;
    out.append(text.substr(0, at));
    out.append(*next++);
    text.remove_prefix(at + 2);
  }
  out.append(text);
  return out;
}

}  // namespace

std::string_view error_code_name(ErrorCode code) { return kCodeNames[static_cast<std::size_t>(code)]; }

std::optional<ErrorCode> error_code_from_name(std::string_view name) {
  for (std::size_t i = 0; i < kCodeNames.size(); ++i) {
    if (kCodeNames[i] == name) return static_cast<ErrorCode>(i);
  }
  return std::nullopt;
}

ErrorCode error_code_of(ErrorKind kind) { return row_of(kind).code; }

ErrorCode Error::code() const { return error_code_of(kind_); }

std::string Error::text() const {
  const std::string_view text = row_of(kind_).text;
  switch (error_data_of(kind_)) {
    case ErrorData::None: return std::string(text);
    case ErrorData::Text: return fill(text, {first_});
    case ErrorData::TwoTexts: return fill(text, {first_, second_});
    case ErrorData::TwoNumbers: return fill(text, {std::to_string(first_number_), std::to_string(second_number_)});
  }
  return std::string(text);
}

}  // namespace kelmar_vindle
