#include "client/MD5.h"

#include <memory>
#include <stdexcept>

#include <openssl/evp.h>

namespace brelvint {

std::string MD5::Digest(std::string_view text) {
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                   &EVP_MD_CTX_free);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (!context || EVP_DigestInit_ex(context.get(), EVP_md5(), nullptr) != 1 ||
      EVP_DigestUpdate(context.get(), text.data(), text.size()) != 1 ||
      EVP_DigestFinal_ex(context.get(), digest, &length) != 1) {
    throw std::runtime_error("MD5 digest unavailable");
  }
  return std::string(reinterpret_cast<const char*>(digest), length);
}

}  // namespace brelvint
