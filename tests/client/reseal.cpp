// reseal FILE: seals every line of an audit file again, in place, continuing
// from the first line's own link, the way someone who can write the log would
// hide an edit from the chain.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

#include "BastorShared/audit/AuditChain.h"
#include "BastorShared/records/BastorJSON.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: reseal FILE\n");
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(in), {}};
    std::string out;
    std::optional<std::string> previousLine;
    for (const auto& line : bastor::AuditChain::decodeLines(bytes)) {
        const auto entry = bastor::BastorJSON::decode<bastor::AuditEntry>(line);
        const std::string firstLink = entry.prevHash;
        auto sealed = bastor::AuditChain::sealLine(
            entry, entry.seq,
            previousLine ? std::optional<std::string_view>(*previousLine) : std::nullopt,
            previousLine ? std::nullopt : std::optional<std::string_view>(firstLink));
        out += sealed.line + "\n";
        previousLine = std::move(sealed.line);
    }
    std::ofstream(argv[1], std::ios::binary | std::ios::trunc) << out;
    return 0;
}
