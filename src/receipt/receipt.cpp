#include "receipt/receipt.hpp"

#include <openssl/evp.h>
#include <pthread.h>

#include <new>

namespace vx {

namespace {

// The digest implementation is looked up once per process; each thread keeps
// one reusable context, so a hash costs no allocation and no provider lookup.
const EVP_MD* sha256_md() {
    static const EVP_MD* md = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    return md;
}

// The context's pointer is in static TLS (initial-exec): a module loaded at
// run time would otherwise get its thread-local block allocated lazily at a
// thread's first access, which ends the process when that allocation fails.
// A key's destructor frees the context when the thread ends.
[[gnu::tls_model("initial-exec")]] thread_local EVP_MD_CTX* thread_context = nullptr;

void free_context(void* ctx) {
    EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(ctx));
    thread_context = nullptr;
}

pthread_key_t context_key() {
    static pthread_key_t key;
    static const bool made = pthread_key_create(&key, &free_context) == 0;
    return made ? key : pthread_key_t(-1);
}

}  // namespace

bool prepare_digest_context() {
    if (thread_context) return true;
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    if (!ctx) return false;
    if (pthread_setspecific(context_key(), ctx) != 0) {
        EVP_MD_CTX_free(ctx);
        return false;
    }
    thread_context = ctx;
    return true;
}

Digest sha256(std::span<const std::uint8_t> bytes) {
    const EVP_MD* md = sha256_md();
    Digest out;
    unsigned int len = 0;
    if (!md || !prepare_digest_context() || !EVP_DigestInit_ex2(thread_context, md, nullptr) ||
        !EVP_DigestUpdate(thread_context, bytes.data(), bytes.size()) ||
        !EVP_DigestFinal_ex(thread_context, out.data(), &len) || len != out.size())
        throw std::bad_alloc();  // libcrypto fails only when it cannot allocate
    return out;
}

}  // namespace vx
