// The one error type of the helper: a closed set of kinds, each with a fixed
// English text and a machine-readable protocol code.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace kelmar_vindle {

// Declaration order is part of the contract (it is the kinds' numbering).
enum class ErrorKind : std::uint8_t {
  CatalogParse,
  CatalogValidation,
  UrlHostNotAllowlisted,
  UrlPathNotCatalog,
  UrlUsesUpdateFeed,
  UrlSchemeNotHttps,
  ChecksumMismatch,
  SizeMismatch,
  Io,
  DownloadMissingObject,
  LiveHttpsForbiddenP1,
  DeviceNotEligible,
  RawWriteForbiddenP1,
  RawWriteForbiddenP2b,
  RealWriteNotEnabled,
  WriteCancelled,
  ImageHashMismatch,
  VerifyMismatch,
  Protocol,
  PlatformEnumerationForbiddenP1,
  PlatformEnumerationUnavailable,
  DeviceGone,
  DeviceIdentityMismatch,
  DeviceAmbiguous,
  RejectedSystem,
  RejectedNotUsb,
  KeyGenerationForbiddenP1,
  SignatureVerificationNotImplemented,
  ElevationDenied,
  WriteStoppedBeforeDeviceOpen,
  NotAuthorized,
  AuthorizationDismissed,
  AuthorizationUnavailable,
};

inline constexpr std::size_t kErrorKindCount = 33;

// The machine-readable reason carried by a failed `result` event.
enum class ErrorCode : std::uint8_t {
  DeviceGone,
  DeviceIdentityMismatch,
  DeviceAmbiguous,
  RejectedSystem,
  RejectedNotUsb,
  Protocol,
  WriteForbiddenInP2b,
  RealWriteNotEnabled,
  WriteCancelled,
  ImageHashMismatch,
  VerifyMismatch,
  ElevationDenied,
  WriteStoppedBeforeDeviceOpen,
  NotAuthorized,
  AuthorizationUnavailable,
};

inline constexpr std::size_t kErrorCodeCount = 15;

// The snake_case wire name of a code ("device_gone", ...).
std::string_view error_code_name(ErrorCode code);
// Exactly the fifteen wire names are accepted, case-sensitive.
std::optional<ErrorCode> error_code_from_name(std::string_view name);

// What data a kind carries.
enum class ErrorData : std::uint8_t { None, Text, TwoTexts, TwoNumbers };

// Shape of the kind's data, from the one table of kinds.
constexpr ErrorData error_data_of(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::CatalogParse:
    case ErrorKind::CatalogValidation:
    case ErrorKind::UrlHostNotAllowlisted:
    case ErrorKind::UrlPathNotCatalog:
    case ErrorKind::UrlUsesUpdateFeed:
    case ErrorKind::UrlSchemeNotHttps:
    case ErrorKind::Io:
    case ErrorKind::DownloadMissingObject:
    case ErrorKind::DeviceNotEligible:
    case ErrorKind::Protocol:
    case ErrorKind::NotAuthorized:
    case ErrorKind::AuthorizationUnavailable: return ErrorData::Text;
    case ErrorKind::ChecksumMismatch:
    case ErrorKind::ImageHashMismatch:
    case ErrorKind::VerifyMismatch: return ErrorData::TwoTexts;
    case ErrorKind::SizeMismatch: return ErrorData::TwoNumbers;
    default: return ErrorData::None;
  }
}

// A failure as a plain value. Construction goes through `make`, whose overloads
// only exist for the data shape of the requested kind, so a kind can never be
// built with the wrong data.
class Error {
 public:
  template <ErrorKind K>
  requires(error_data_of(K) == ErrorData::None) static Error make() { return Error(K); }

  template <ErrorKind K>
  requires(error_data_of(K) == ErrorData::Text) static Error make(std::string detail) {
    Error e(K);
    e.first_ = std::move(detail);
    return e;
  }

  // For the mismatch kinds: the expected value first, then the actual one.
  template <ErrorKind K>
  requires(error_data_of(K) == ErrorData::TwoTexts) static Error make(std::string expected, std::string actual) {
    Error e(K);
    e.first_ = std::move(expected);
    e.second_ = std::move(actual);
    return e;
  }

  template <ErrorKind K>
  requires(error_data_of(K) == ErrorData::TwoNumbers) static Error make(std::uint64_t expected, std::uint64_t actual) {
    Error e(K);
    e.first_number_ = expected;
    e.second_number_ = actual;
    return e;
  }

  // Shorthands for the kinds raised most often.
  static Error protocol(std::string detail) { return make<ErrorKind::Protocol>(std::move(detail)); }
  static Error io(std::string detail) { return make<ErrorKind::Io>(std::move(detail)); }

  ErrorKind kind() const { return kind_; }
  // The text data (the detail, or the expected text of a mismatch); empty for
  // kinds without text.
  const std::string& detail() const { return first_; }

  // The whole client-facing message; never fails, never decorated.
  std::string text() const;
  // The protocol code, by the one kind-to-code table.
  ErrorCode code() const;

  friend bool operator==(const Error&, const Error&) = default;

 private:
  explicit Error(ErrorKind kind) : kind_(kind) {}

  ErrorKind kind_;
  std::string first_;
  std::string second_;
  std::uint64_t first_number_ = 0;
  std::uint64_t second_number_ = 0;
};

// The code of a kind, from the same table `Error::code` uses.
ErrorCode error_code_of(ErrorKind kind);

template <class T>
using Result = std::expected<T, Error>;

}  // namespace kelmar_vindle
