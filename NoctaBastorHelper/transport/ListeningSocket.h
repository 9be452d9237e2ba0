#pragma once

#include <sys/types.h>

#include <filesystem>

#include "BastorShared/platform/UniqueFd.h"

namespace bastor {

// The daemon's listening Unix stream socket. The one systemd passes (socket
// activation) is used as it is; otherwise the socket is made at `path`,
// replacing a stale one, owned by root with mode 0660 and group
// "nocta-bastor" when that group exists, else mode 0600. The mode is never
// wider than that, not even for an instant.
class ListeningSocket {
  public:
    // Throws SystemError when the socket cannot be made, or when a live
    // daemon already answers at `path`.
    explicit ListeningSocket(std::filesystem::path path);
    // Removes the socket file this object made, if it is still the same one.
    ~ListeningSocket();

    ListeningSocket(const ListeningSocket&) = delete;
    ListeningSocket& operator=(const ListeningSocket&) = delete;

    [[nodiscard]] int fd() const { return fd_.get(); }
    [[nodiscard]] const std::filesystem::path& path() const { return path_; }
    [[nodiscard]] bool activated() const { return !created_; }

    static constexpr const char* groupName = "nocta-bastor";

  private:
    void create();

    std::filesystem::path path_;
    UniqueFd fd_;
    bool created_ = false;
    dev_t device_ = 0;
    ino_t inode_ = 0;
};

}  // namespace bastor
