#include "Sha256.h"

#include <openssl/evp.h>

#include <stdexcept>

Sha256::Sha256() : ctx_(EVP_MD_CTX_new())
{
    if (ctx_ == nullptr || EVP_DigestInit_ex(static_cast<EVP_MD_CTX *>(ctx_), EVP_sha256(), nullptr) != 1)
        throw std::runtime_error("SHA-256 is not available");
}

Sha256::~Sha256()
{
    EVP_MD_CTX_free(static_cast<EVP_MD_CTX *>(ctx_));
}

void Sha256::Update(const void *data, size_t len)
{
    if (len > 0) EVP_DigestUpdate(static_cast<EVP_MD_CTX *>(ctx_), data, len);
}

std::string Sha256::Hex()
{
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    EVP_DigestFinal_ex(static_cast<EVP_MD_CTX *>(ctx_), md, &n);
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned int i = 0; i < n; ++i) {
        out += digits[md[i] >> 4];
        out += digits[md[i] & 15];
    }
    return out;
}
