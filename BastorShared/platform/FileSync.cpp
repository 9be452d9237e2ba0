#include "BastorShared/platform/FileSync.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "BastorShared/platform/SystemError.h"
#include "BastorShared/platform/UniqueFd.h"

namespace bastor::FileSync {

void syncData(int fd, const std::filesystem::path& file) {
    int result;
    do {
        result = ::fdatasync(fd);
    } while (result != 0 && errno == EINTR);
    if (result != 0) throwSystemError("could not sync", file.string());
}

void syncDirectory(const std::filesystem::path& directory) {
    UniqueFd fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd) throwSystemError("could not sync", directory.string());
    int result;
    do {
        result = ::fsync(fd.get());
    } while (result != 0 && errno == EINTR);
    if (result != 0) throwSystemError("could not sync", directory.string());
}

}  // namespace bastor::FileSync
