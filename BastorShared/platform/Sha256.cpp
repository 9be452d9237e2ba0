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

std::string toHex(const unsigned char* digest, unsigned length) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text(length * 2, '0');
    for (unsigned i = 0; i < length; ++i) {
        text[2 * i] = kDigits[digest[i] >> 4];
        text[2 * i + 1] = kDigits[digest[i] & 0x0f];
    }
    return text;
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

std::string Sha256::hexDigest() const {
    Sha256 copy(*this);
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned length = 0;
    if (EVP_DigestFinal_ex(copy.context_->ctx.get(), digest.data(), &length) != 1) fail("final");
    return toHex(digest.data(), length);
}

std::string Sha256::hex(std::string_view bytes) {
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned length = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, sha256Algorithm(), nullptr) !=
        1)
        fail("digest");
    return toHex(digest.data(), length);
}

}  // namespace bastor
