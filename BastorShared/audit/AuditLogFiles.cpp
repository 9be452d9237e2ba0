#include "BastorShared/audit/AuditLogFiles.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <string>
#include <system_error>

#include "BastorShared/platform/SystemError.h"
#include "BastorShared/platform/UniqueFd.h"

namespace bastor::AuditLogFiles {

namespace {

constexpr std::size_t readChunk = std::size_t{1} << 20;
// Stands for an over-long line: not JSON, so it decodes as nothing, exactly
// as the line itself would.
constexpr std::string_view overlongLine = "\xff";

}  // namespace

std::vector<std::filesystem::path> list(const std::filesystem::path& directory) {
    std::error_code error;
    std::filesystem::directory_iterator entry(directory, error);
    if (error) throw SystemError("could not list", directory.string(), error.value());

    std::vector<std::filesystem::path> files;
    for (; entry != std::filesystem::directory_iterator(); entry.increment(error)) {
        const std::filesystem::path& path = entry->path();
        const std::string name = path.filename().string();
        if (name.empty() || name.front() == '.') continue;
        if (name == AuditLogFiles::liveName ||
            (name.starts_with("audit-") && path.extension() == ".jsonl"))
            files.push_back(path);
    }
    if (error) throw SystemError("could not list", directory.string(), error.value());

    std::sort(files.begin(), files.end(), [](const auto& left, const auto& right) {
        const bool leftLive = left.filename() == AuditLogFiles::liveName;
        const bool rightLive = right.filename() == AuditLogFiles::liveName;
        if (leftLive != rightLive) return rightLive;
        return left.filename().string() < right.filename().string();
    });
    return files;
}

void forEachLine(const std::filesystem::path& file,
                 const std::function<bool(std::string_view line)>& onLine) {
    UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd) throwSystemError("could not read", file.string());

    const auto chunk = std::make_unique_for_overwrite<char[]>(readChunk);
    std::string carry;      // start of a line whose 0x0A is in a later chunk
    bool overlong = false;  // carry outgrew maxLineBytes; skipping to the next 0x0A
    bool wanted = true;
    const auto deliver = [&](std::string_view line) {
        if (wanted && !line.empty()) wanted = onLine(line);
    };

    for (;;) {
        const ssize_t got = ::read(fd.get(), chunk.get(), readChunk);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) throwSystemError("could not read", file.string());
        if (got == 0) break;
        if (!wanted) continue;

        std::string_view data(chunk.get(), static_cast<std::size_t>(got));
        while (!data.empty()) {
            if (data.front() == '\n' && carry.empty() && !overlong) {
                data.remove_prefix(1);  // an empty piece
                continue;
            }
            const std::size_t newline = data.find('\n');
            const std::string_view piece = data.substr(0, newline);
            if (newline == std::string_view::npos) {
                if (overlong) break;
                if (carry.size() + piece.size() > maxLineBytes) {
                    overlong = true;
                    std::string().swap(carry);
                } else {
                    carry.append(piece);
                }
                break;
            }
            if (overlong) {
                deliver(overlongLine);
                overlong = false;
            } else if (carry.empty()) {
                deliver(piece);
            } else if (carry.size() + piece.size() > maxLineBytes) {
                deliver(overlongLine);
                carry.clear();
            } else {
                carry.append(piece);
                deliver(carry);
                carry.clear();
            }
            data.remove_prefix(newline + 1);
        }
    }
    if (overlong) {
        deliver(overlongLine);
    } else {
        deliver(carry);
    }
}

}  // namespace bastor::AuditLogFiles
