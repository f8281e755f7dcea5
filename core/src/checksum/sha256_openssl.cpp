// The SHA-256 computation on hosts with OpenSSL's libcrypto (it uses the
// processor's SHA extensions where there are any).
#include <openssl/evp.h>

#include <array>
#include <new>

#include "kelmar_vindle/checksum.hpp"

namespace kelmar_vindle::checksum {

struct Sha256::State {
  struct FreeContext {
    void operator()(EVP_MD_CTX* owned) const { EVP_MD_CTX_free(owned); }
  };
  std::unique_ptr<EVP_MD_CTX, FreeContext> context{EVP_MD_CTX_new()};
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
  if (!state_->context || EVP_DigestInit_ex(state_->context.get(), EVP_sha256(), nullptr) != 1) {
    throw std::bad_alloc();  // the library only fails here when it runs out of memory
  }
}

Sha256::Sha256(Sha256&&) noexcept = default;
Sha256& Sha256::operator=(Sha256&&) noexcept = default;
Sha256::~Sha256() = default;

void Sha256::update(std::span<const std::byte> bytes) {
  EVP_DigestUpdate(state_->context.get(), bytes.data(), bytes.size());
}

std::string Sha256::finalize() {
  std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
  unsigned int length = 0;
  EVP_DigestFinal_ex(state_->context.get(), digest.data(), &length);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  text.reserve(2 * length);
  for (unsigned int i = 0; i < length; ++i) {
    text += kHex[digest[i] >> 4];
    text += kHex[digest[i] & 0x0F];
  }
  return text;
}

}  // namespace kelmar_vindle::checksum
