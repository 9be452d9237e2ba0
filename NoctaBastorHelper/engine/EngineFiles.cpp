#include "NoctaBastorHelper/engine/EngineFiles.h"

#include <unistd.h>

#include <cerrno>

#include "BastorShared/platform/SystemError.h"

namespace bastor::EngineFiles {

int writeAll(int fd, std::string_view bytes) noexcept {
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR) continue;
        if (written < 0) return errno;
        if (written == 0) return EIO;
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return 0;
}

void preadAll(int fd, char* data, std::size_t size, off_t offset,
              const std::filesystem::path& file) {
    while (size > 0) {
        const ssize_t got = ::pread(fd, data, size, offset);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) throwSystemError("could not read", file.string());
        if (got == 0) throw SystemError("could not read", file.string(), EIO);
        data += got;
        size -= static_cast<std::size_t>(got);
        offset += got;
    }
}

}  // namespace bastor::EngineFiles
