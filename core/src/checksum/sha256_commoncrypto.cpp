// The SHA-256 computation on macOS: the system's CommonCrypto (in
// libSystem), which uses the processor's SHA extensions where there are any.
#include <CommonCrypto/CommonDigest.h>

#include <algorithm>
#include <array>
#include <limits>

#include "kelmar_vindle/checksum.hpp"

namespace kelmar_vindle::checksum {

struct Sha256::State {
  CC_SHA256_CTX context{};
};

Sha256::Sha256() : state_(std::make_unique<State>()) { CC_SHA256_Init(&state_->context); }

Sha256::Sha256(Sha256&&) noexcept = default;
Sha256& Sha256::operator=(Sha256&&) noexcept = default;
Sha256::~Sha256() = default;

void Sha256::update(std::span<const std::byte> bytes) {
  // CC_LONG is 32 bits wide: larger inputs go in pieces.
  constexpr std::size_t kMostAtOnce = std::numeric_limits<CC_LONG>::max();
  while (!bytes.empty()) {
    const std::size_t piece = std::min(bytes.size(), kMostAtOnce);
    CC_SHA256_Update(&state_->context, bytes.data(), static_cast<CC_LONG>(piece));
    bytes = bytes.subspan(piece);
  }
}

std::string Sha256::finalize() {
  std::array<unsigned char, CC_SHA256_DIGEST_LENGTH> digest{};
  CC_SHA256_Final(digest.data(), &state_->context);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  text.reserve(2 * digest.size());
  for (const unsigned char byte : digest) {
    text += kHex[byte >> 4];
    text += kHex[byte & 0x0F];
  }
  return text;
}

}  // namespace kelmar_vindle::checksum
