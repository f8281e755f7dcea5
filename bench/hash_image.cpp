// Runs the image check on one file, for timing against `openssl dgst`:
//   kelmar_vindle_hash_image FILE EXPECTED_SHA256 EXPECTED_SIZE
#include <cstdio>
#include <cstdlib>
#include <string>

#include "kelmar_vindle/write.hpp"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s FILE EXPECTED_SHA256 EXPECTED_SIZE\n", argv[0]);
    return 2;
  }
  const auto checked = kelmar_vindle::write::check_image(argv[1], argv[2], std::strtoull(argv[3], nullptr, 10));
  if (!checked) {
    std::fprintf(stderr, "%s\n", checked.error().text().c_str());
    return 1;
  }
  return 0;
}
