#include "BastorShared/platform/Sha256.h"

#include <openssl/evp.h>

#include <array>
#include <stdexcept>

namespace bastor {

namespace {

// Fetched once: EVP_sha256() on every context would repeat the provider lookup.
const EVP_MD* sha256Algorithm() {
    static EVP_MD* const md = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    if (md == nullptr) throw std::runtime_error("OpenSSL has no SHA-256 implementation");
    return md;
}

[[noreturn]] void fail(const char* step) {
    throw std::runtime_error(std::string("SHA-256 ") + step + " failed in OpenSSL");
}

void writeHex(const unsigned char* digest, unsigned length, char* out) {
    static constexpr char kDigits[] = "0123456789abcdef";
    for (unsigned i = 0; i < length; ++i) {
        out[2 * i] = kDigits[digest[i] >> 4];
        out[2 * i + 1] = kDigits[digest[i] & 0x0f];
    }
}

}  // namespace

struct Sha256::Context {
    struct Free {
        void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
    };
    std::unique_ptr<EVP_MD_CTX, Free> ctx{EVP_MD_CTX_new()};
};

Sha256::Sha256() : context_(std::make_unique<Context>()) {
    if (!context_->ctx || EVP_DigestInit_ex(context_->ctx.get(), sha256Algorithm(), nullptr) != 1)
        fail("initialisation");
}

Sha256::Sha256(const Sha256& other) : context_(std::make_unique<Context>()) {
    if (!context_->ctx || EVP_MD_CTX_copy_ex(context_->ctx.get(), other.context_->ctx.get()) != 1)
        fail("copy");
}

Sha256& Sha256::operator=(const Sha256& other) {
    if (this != &other) {
        Sha256 copy(other);
        *this = std::move(copy);
    }
    return *this;
}

Sha256::Sha256(Sha256&&) noexcept = default;
Sha256& Sha256::operator=(Sha256&&) noexcept = default;
Sha256::~Sha256() = default;

void Sha256::update(const void* data, std::size_t size) {
    if (size == 0) return;
    if (EVP_DigestUpdate(context_->ctx.get(), data, size) != 1) fail("update");
}

void Sha256::reset() {
    if (EVP_DigestInit_ex2(context_->ctx.get(), sha256Algorithm(), nullptr) != 1)
        fail("initialisation");
}

void Sha256::finishHex(char* out) {
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned length = 0;
    if (EVP_DigestFinal_ex(context_->ctx.get(), digest.data(), &length) != 1 || length != 32)
        fail("final");
    writeHex(digest.data(), length, out);
    reset();
}

std::string Sha256::hexDigest() const {
    std::string text(64, '0');
    Sha256(*this).finishHex(text.data());
    return text;
}

// A context per thread: OpenSSL's one-shot digest builds and frees one on
// every call, a sixth of the cost of hashing a typical audit line.
std::string Sha256::hex(std::string_view bytes) {
    thread_local Sha256 hasher;
    hasher.reset();
    hasher.update(bytes);
    std::string text(64, '0');
    hasher.finishHex(text.data());
    return text;
}

}  // namespace bastor
