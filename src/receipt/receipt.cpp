#include "receipt/receipt.hpp"

#include <openssl/evp.h>

#include <new>

namespace vx {

namespace {

// The digest implementation is looked up once per process; each thread keeps
// one reusable context, so a hash costs no allocation and no provider lookup.
const EVP_MD* sha256_md() {
    static const EVP_MD* md = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    return md;
}

struct Context {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    ~Context() { EVP_MD_CTX_free(ctx); }
};

}  // namespace

Digest sha256(std::span<const std::uint8_t> bytes) {
    thread_local Context context;
    const EVP_MD* md = sha256_md();
    Digest out;
    unsigned int len = 0;
    if (!md || !context.ctx || !EVP_DigestInit_ex2(context.ctx, md, nullptr) ||
        !EVP_DigestUpdate(context.ctx, bytes.data(), bytes.size()) ||
        !EVP_DigestFinal_ex(context.ctx, out.data(), &len) || len != out.size())
        throw std::bad_alloc();  // libcrypto fails only when it cannot allocate
    return out;
}

}  // namespace vx
