#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "BastorShared/records/BastorError.h"
#include "BastorShared/records/BastorJSON.h"

using namespace bastor;

// Whatever decodes must re-encode to a fixed point: a second decode and encode
// give the same bytes.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    BastorRequest request;
    try {
        request = BastorJSON::decode<BastorRequest>(text);
    } catch (const BastorJSON::JsonError&) {
        return 0;
    }
    const std::string first = BastorJSON::encode(request);
    const std::string second = BastorJSON::encode(BastorJSON::decode<BastorRequest>(first));
    if (first != second || first.find('\n') != std::string::npos) std::abort();
    try {
        request.validate();
    } catch (const BastorError&) {
    }
    return 0;
}
