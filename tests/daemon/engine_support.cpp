#include "tests/daemon/engine_support.h"

#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <system_error>

#include "BastorShared/audit/AuditChain.h"
#include "BastorShared/execution/CommandResolver.h"
#include "BastorShared/records/BastorJSON.h"
#include "NoctaBastorHelper/AuditStore.h"

namespace bastor::test {

TempDir::TempDir() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "bastor-engine-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string readFile(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::string bytes(std::filesystem::file_size(file), '\0');
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!in) throw std::runtime_error("cannot read " + file.string());
    return bytes;
}

void writeFile(const std::filesystem::path& file, std::string_view bytes, bool append) {
    std::ofstream out(file, std::ios::binary | (append ? std::ios::app : std::ios::trunc));
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + file.string());
}

mode_t modeOf(const std::filesystem::path& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) throw std::runtime_error("cannot stat " + path.string());
    return info.st_mode & 07777;
}

std::vector<std::string> linesOf(const std::filesystem::path& file) {
    return AuditChain::decodeLines(readFile(file));
}

std::vector<AuditEntry> entriesOf(const std::filesystem::path& file) {
    std::vector<AuditEntry> entries;
    if (!std::filesystem::exists(file)) return entries;
    for (const auto& line : linesOf(file))
        entries.push_back(BastorJSON::decode<AuditEntry>(line));
    return entries;
}

std::vector<std::vector<std::string>> allFileLines(const std::filesystem::path& dir) {
    std::vector<std::vector<std::string>> files;
    for (const auto& file : AuditStore::auditFiles(dir))
        files.push_back(linesOf(file));
    return files;
}

BastorRequest requestFor(std::vector<std::string> argv, std::string cwd) {
    BastorRequest request;
    request.id = Uuid::random();
    request.resolvedPath = CommandResolver::resolve(argv.at(0));
    request.argv = std::move(argv);
    request.cwd = std::move(cwd);
    request.timeoutSeconds = 60;
    request.reason = "engine test";
    request.client = BastorClientInfo{.name = "bastorctl", .version = "1.0"};
    request.approver = "alice";
    request.authMethod = BastorAuthMethod::password;
    return request;
}

AuditEntry clientEvent(std::string reason) {
    AuditEntry entry;
    entry.id = Uuid::random();
    entry.requestID = Uuid::random();
    entry.time = now();
    entry.argv = {"ls", "-l"};
    entry.cwd = "/";
    entry.reason = std::move(reason);
    entry.client = BastorClientInfo{.name = "bastorctl", .version = "1.0"};
    entry.prevHash = AuditChain::genesisHash();
    return entry;
}

}  // namespace bastor::test
