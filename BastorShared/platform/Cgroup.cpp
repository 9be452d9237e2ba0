#include "BastorShared/platform/Cgroup.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <fstream>
#include <sstream>

#include "BastorShared/platform/SystemError.h"

namespace bastor {

namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::string_view> fields(std::string_view line) {
    std::vector<std::string_view> parts;
    while (!line.empty()) {
        const auto space = line.find(' ');
        parts.push_back(line.substr(0, space));
        if (space == std::string_view::npos) break;
        line.remove_prefix(space + 1);
    }
    return parts;
}

// mountinfo writes space, tab, newline and backslash as \ooo.
std::string unescape(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size()) {
            out += static_cast<char>((text[i + 1] - '0') * 64 + (text[i + 2] - '0') * 8 +
                                     (text[i + 3] - '0'));
            i += 3;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::string slurp(const char* path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

int pollMilliseconds(Clock::time_point until) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
    return static_cast<int>(std::max<long long>(left, 0));
}

}  // namespace

Cgroup Cgroup::open(std::string path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd) throwSystemError("could not open the cgroup", path);
    return Cgroup(std::move(path), std::move(fd));
}

Cgroup Cgroup::create(const std::string& parent, std::string_view name) {
    std::string path = parent + "/" + std::string(name);
    if (::mkdir(path.c_str(), 0755) != 0) throwSystemError("could not create the cgroup", path);
    return open(std::move(path));
}

std::optional<std::string> Cgroup::read(std::string_view file) const {
    const std::string name(file);
    UniqueFd fd(::openat(fd_.get(), name.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        if (errno == ENOENT) return std::nullopt;
        throwSystemError("could not read", path_ + "/" + name);
    }
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t count = ::read(fd.get(), buffer, sizeof buffer);
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) throwSystemError("could not read", path_ + "/" + name);
        if (count == 0) return text;
        text.append(buffer, static_cast<std::size_t>(count));
    }
}

void Cgroup::write(std::string_view file, std::string_view text) const {
    const std::string name(file);
    UniqueFd fd(::openat(fd_.get(), name.c_str(), O_WRONLY | O_CLOEXEC));
    if (!fd) throwSystemError("could not write", path_ + "/" + name);
    // Interface files take one whole write.
    ssize_t count;
    while ((count = ::write(fd.get(), text.data(), text.size())) < 0 && errno == EINTR) {
    }
    if (count < 0) throwSystemError("could not write", path_ + "/" + name);
}

UniqueFd Cgroup::openResettablePeak() const {
    UniqueFd peak(::openat(fd_.get(), "memory.peak", O_RDWR | O_CLOEXEC));
    if (peak && !resetPeak(peak.get())) peak.reset();
    return peak;
}

bool Cgroup::resetPeak(int peak) noexcept {
    ssize_t written;
    do {
        written = ::pwrite(peak, "reset\n", 6, 0);
    } while (written < 0 && errno == EINTR);
    return written == 6;
}

std::optional<std::int64_t> Cgroup::readPeak(int peak) noexcept {
    char text[32];
    ssize_t count;
    do {
        count = ::pread(peak, text, sizeof text, 0);
    } while (count < 0 && errno == EINTR);
    std::int64_t bytes = 0;
    if (count <= 0 || std::from_chars(text, text + count, bytes).ec != std::errc()) return {};
    return bytes;
}

bool Cgroup::has(std::string_view file) const {
    return ::faccessat(fd_.get(), std::string(file).c_str(), F_OK, 0) == 0;
}

void Cgroup::adoptSelf() const {
    write("cgroup.procs", "0");
}

std::vector<pid_t> Cgroup::processes() const {
    std::vector<pid_t> pids;
    const std::string text = read("cgroup.procs").value_or("");
    std::string_view rest(text);
    while (!rest.empty()) {
        const auto end = rest.find('\n');
        const std::string_view line = rest.substr(0, end);
        pid_t pid = 0;
        if (std::from_chars(line.data(), line.data() + line.size(), pid).ec == std::errc())
            pids.push_back(pid);
        if (end == std::string_view::npos) break;
        rest.remove_prefix(end + 1);
    }
    return pids;
}

std::vector<std::string> Cgroup::children() const {
    std::vector<std::string> names;
    const int copy = ::openat(fd_.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (copy < 0) throwSystemError("could not list", path_);
    DIR* dir = ::fdopendir(copy);
    if (!dir) {
        ::close(copy);
        throwSystemError("could not list", path_);
    }
    while (const dirent* entry = ::readdir(dir)) {
        const std::string_view name(entry->d_name);
        if (entry->d_type == DT_DIR && name != "." && name != "..") names.emplace_back(name);
    }
    ::closedir(dir);
    return names;
}

void Cgroup::kill() const {
    write("cgroup.kill", "1");
}

bool Cgroup::waitForEvent(std::string_view line, std::chrono::milliseconds patience) const {
    UniqueFd events(::openat(fd_.get(), "cgroup.events", O_RDONLY | O_CLOEXEC));
    if (!events) throwSystemError("could not read", path_ + "/cgroup.events");
    const auto until = Clock::now() + patience;
    char buffer[512];
    for (;;) {
        const ssize_t count = ::pread(events.get(), buffer, sizeof buffer, 0);
        if (count < 0 && errno != EINTR)
            throwSystemError("could not read", path_ + "/cgroup.events");
        if (count > 0) {
            const std::string_view text(buffer, static_cast<std::size_t>(count));
            for (std::size_t at = text.find(line); at != std::string_view::npos;
                 at = text.find(line, at + 1))
                if ((at == 0 || text[at - 1] == '\n') &&
                    (at + line.size() == text.size() || text[at + line.size()] == '\n'))
                    return true;
        }
        const int wait = pollMilliseconds(until);
        if (wait == 0) return false;
        // The file signals a change as POLLPRI; the read above re-arms it.
        pollfd watch{events.get(), POLLPRI, 0};
        (void)::poll(&watch, 1, wait);
    }
}

bool Cgroup::freeze(bool frozen, std::chrono::milliseconds patience) const {
    write("cgroup.freeze", frozen ? "1" : "0");
    return !frozen || waitForEvent("frozen 1", patience);
}

bool Cgroup::waitUntilEmpty(std::chrono::milliseconds patience) const {
    return waitForEvent("populated 0", patience);
}

std::optional<std::int64_t> Cgroup::statValue(std::string_view file, std::string_view key) const {
    const auto text = read(file);
    if (!text) return std::nullopt;
    return keyedValue(*text, key);
}

UniqueFd Cgroup::hold(std::string_view file) const {
    const std::string name(file);
    UniqueFd fd(::openat(fd_.get(), name.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd && errno != ENOENT) throwSystemError("could not read", path_ + "/" + name);
    return fd;
}

std::optional<std::string> Cgroup::reread(const UniqueFd& held, std::string_view file) const {
    if (!held) return std::nullopt;
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t count =
            ::pread(held.get(), buffer, sizeof buffer, static_cast<off_t>(text.size()));
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) throwSystemError("could not read", path_ + "/" + std::string(file));
        text.append(buffer, static_cast<std::size_t>(count));
        // Interface files fill what they are given; a short read is the end.
        if (count < static_cast<ssize_t>(sizeof buffer)) return text;
    }
}

std::optional<std::int64_t> Cgroup::keyedValue(std::string_view text, std::string_view key) {
    std::string_view rest(text);
    while (!rest.empty()) {
        const auto end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        if (line.starts_with(key) && line.size() > key.size() && line[key.size()] == ' ') {
            line.remove_prefix(key.size() + 1);
            std::int64_t value = 0;
            if (std::from_chars(line.data(), line.data() + line.size(), value).ec == std::errc())
                return value;
        }
        if (end == std::string_view::npos) break;
        rest.remove_prefix(end + 1);
    }
    return std::nullopt;
}

void Cgroup::removeTree() const {
    // Child cgroups are rare: try the plain removal first.
    if (::rmdir(path_.c_str()) == 0 || errno == ENOENT) return;
    for (const auto& name : children())
        Cgroup::open(path_ + "/" + name).removeTree();
    if (::rmdir(path_.c_str()) != 0 && errno != ENOENT)
        throwSystemError("could not remove the cgroup", path_);
}

std::optional<std::string> cgroup2Directory(std::string_view mountinfo,
                                            std::string_view procSelfCgroup) {
    std::optional<std::string> own;
    for (std::string_view rest = procSelfCgroup; !rest.empty();) {
        const auto end = rest.find('\n');
        const std::string_view line = rest.substr(0, end);
        if (line.starts_with("0::")) own = std::string(line.substr(3));
        if (end == std::string_view::npos) break;
        rest.remove_prefix(end + 1);
    }
    if (!own || !own->starts_with('/')) return std::nullopt;

    for (std::string_view rest = mountinfo; !rest.empty();) {
        const auto end = rest.find('\n');
        const std::string_view line = rest.substr(0, end);
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
        const auto separator = line.find(" - ");
        if (separator == std::string_view::npos) continue;
        const auto after = fields(line.substr(separator + 3));
        const auto before = fields(line.substr(0, separator));
        if (after.empty() || after[0] != "cgroup2" || before.size() < 5) continue;
        const std::string root = unescape(before[3]);
        const std::string mountPoint = unescape(before[4]);
        // A mount of part of the tree shows only the cgroups below its root.
        std::string relative;
        if (root == "/") {
            relative = *own;
        } else if (own->starts_with(root) &&
                   (own->size() == root.size() || (*own)[root.size()] == '/')) {
            relative = own->substr(root.size());
        } else {
            continue;
        }
        while (!relative.empty() && relative.back() == '/')
            relative.pop_back();
        return mountPoint + relative;
    }
    return std::nullopt;
}

std::optional<std::string> ownCgroupDirectory() {
    try {
        return cgroup2Directory(slurp("/proc/self/mountinfo"), slurp("/proc/self/cgroup"));
    } catch (...) {
        return std::nullopt;
    }
}

}  // namespace bastor
