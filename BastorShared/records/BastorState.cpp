#include "BastorShared/records/BastorState.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <exception>
#include <optional>
#include <string>

#include "BastorShared/platform/UniqueFd.h"
#include "BastorShared/records/BastorJSON.h"

namespace bastor {

namespace {

std::optional<std::string> readWholeFile(const std::filesystem::path& path) {
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return std::nullopt;
    std::string bytes;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n == 0) return bytes;
        if (n < 0) {
            if (errno == EINTR) continue;
            return std::nullopt;
        }
        bytes.append(buffer, static_cast<std::size_t>(n));
    }
}

}  // namespace

BastorState BastorState::load(const std::filesystem::path& from) {
    const auto bytes = readWholeFile(from);
    if (!bytes) return {};
    try {
        return BastorJSON::decode<BastorState>(*bytes);
    } catch (const std::exception&) {
        // Whatever is wrong with the file, the helper starts with every switch off.
        return {};
    }
}

}  // namespace bastor
