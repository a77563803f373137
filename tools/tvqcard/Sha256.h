// SHA-256 through libcrypto's EVP interface. libcrypto is set up on the
// first use, so a run that hashes nothing never pays for it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256 &) = delete;
    Sha256 &operator=(const Sha256 &) = delete;
    void Update(const void *data, size_t len);
    // Lower-case hexadecimal digest, as sha256sum prints it; the object is spent.
    std::string Hex();

private:
    void *Ctx();
    void *ctx_ = nullptr;
};
