#include "Sha256.h"

#include <openssl/evp.h>

#include <stdexcept>

Sha256::Sha256() = default;

void *Sha256::Ctx()
{
    if (ctx_ != nullptr) return ctx_;
    EVP_MD_CTX *c = EVP_MD_CTX_new();
    if (c == nullptr || EVP_DigestInit_ex(c, EVP_sha256(), nullptr) != 1) {
        EVP_MD_CTX_free(c);
        throw std::runtime_error("SHA-256 is not available");
    }
    return ctx_ = c;
}

Sha256::~Sha256()
{
    EVP_MD_CTX_free(static_cast<EVP_MD_CTX *>(ctx_));
}

void Sha256::Update(const void *data, size_t len)
{
    if (len > 0) EVP_DigestUpdate(static_cast<EVP_MD_CTX *>(Ctx()), data, len);
}

std::string Sha256::Hex()
{
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    EVP_DigestFinal_ex(static_cast<EVP_MD_CTX *>(Ctx()), md, &n);
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned int i = 0; i < n; ++i) {
        out += digits[md[i] >> 4];
        out += digits[md[i] & 15];
    }
    return out;
}
