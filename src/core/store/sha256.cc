// Object ids: SHA-256 of the canonical text through OpenSSL's one-shot
// digest, written as "sha256:" and lower-case hex.
#include <openssl/evp.h>

#include "core/store/object.h"

namespace tesmo {

std::string hash_text(std::string_view canonical_text) {
  static constexpr char kHex[] = "0123456789abcdef";
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  // The one-shot digest of a fixed algorithm over memory cannot fail short
  // of the library being unusable.
  EVP_Digest(canonical_text.data(), canonical_text.size(), digest, &length, EVP_sha256(), nullptr);
  std::string id = "sha256:";
  id.reserve(7 + 2 * length);
  for (unsigned int i = 0; i < length; ++i) {
    id.push_back(kHex[digest[i] >> 4]);
    id.push_back(kHex[digest[i] & 0xF]);
  }
  return id;
}


}  // namespace tesmo
