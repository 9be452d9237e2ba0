#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "BastorShared/records/BastorJSON.h"

using namespace bastor;

// Whatever decodes must re-encode to a fixed point: a second decode and encode
// give the same bytes, and no raw line feed ever splits an audit line. A line
// the verifier's fast path takes as canonical must be exactly what decoding
// and encoding make of it.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    BastorJSON::CanonicalAuditLine canonical;
    const bool fast = BastorJSON::readCanonicalAuditLine(text, canonical);
    AuditEntry entry;
    try {
        entry = BastorJSON::decode<AuditEntry>(text);
    } catch (const BastorJSON::JsonError&) {
        if (fast) std::abort();
        return 0;
    }
    const std::string first = BastorJSON::encode(entry);
    const std::string second = BastorJSON::encode(BastorJSON::decode<AuditEntry>(first));
    if (first != second || first.find('\n') != std::string::npos) std::abort();
    if (fast) {
        entry.hash.reset();
        const std::string hashless = std::string(text.substr(0, canonical.hashBegin)) +
                                     std::string(text.substr(canonical.hashEnd));
        if (first != text || BastorJSON::encode(entry) != hashless || canonical.seq != entry.seq ||
            canonical.prevHash != entry.prevHash)
            std::abort();
    }
    return 0;
}
