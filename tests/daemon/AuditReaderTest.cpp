#include <fcntl.h>
#include <sys/stat.h>

#include <functional>

#include "tests/daemon/DaemonTestSupport.h"

namespace bastor::test {

namespace {

// Rotated files "audit-1.jsonl" ... and the live file, `perFile` entries each,
// each with `outputBytes` of output.
void writeLog(const fs::path& directory, int files, int perFile, std::size_t outputBytes = 0) {
    fs::create_directories(directory);
    AuditStore store(directory);
    AuditEntry entry;
    entry.stdout = std::string(outputBytes, 'o') + "\n\"/\\";
    for (int file = 1; file <= files; ++file) {
        for (int i = 0; i < perFile; ++i)
            (void)store.append(entry);
        // Moved aside as a rotation would: the next entry links by hash.
        if (file < files)
            fs::rename(directory / "audit.jsonl",
                       directory / ("audit-" + std::to_string(file) + ".jsonl"));
    }
}

std::vector<std::vector<std::string>> linesOfAll(const fs::path& directory) {
    std::vector<std::vector<std::string>> files;
    for (const auto& file : AuditStore::auditFiles(directory))
        files.push_back(linesOf(file));
    return files;
}

void replaceLine(const fs::path& file, std::size_t index, const std::string& with) {
    auto lines = linesOf(file);
    lines.at(index) = with;
    std::string text;
    for (const auto& line : lines)
        text += line + "\n";
    writeFile(file, text);
}

}  // namespace

TEST(AuditReader, VerifyingInRunsOnThreadsEqualsTheSequentialVerifier) {
    TempDir temp;
    const fs::path pristine = temp.path / "pristine", log = temp.path / "log";
    writeLog(pristine, 3, 120, 40000);  // about 5 MiB a file: several runs each
    const fs::path second = log / "audit-2.jsonl";
    const std::pair<const char*, std::function<void()>> cases[] = {
        {"intact", [] {}},
        {"a line of a rotated file damaged", [&] { replaceLine(second, 60, "{\"seq\":61}"); }},
        {"a line removed", [&] { replaceLine(second, 61, ""); }},
        {"an over-long line", [&] { replaceLine(second, 62, std::string(65 << 20, 'x')); }},
        {"the first line of the live file damaged",
         [&] { replaceLine(log / "audit.jsonl", 0, "[]"); }},
    };
    for (const auto& [name, damage] : cases) {
        fs::remove_all(log);
        fs::copy(pristine, log);
        damage();
        const BastorVerification expected = AuditChain::verify(linesOfAll(log));
        for (const unsigned threads : {1u, 2u, 5u})
            EXPECT_EQ(AuditReader::verify(log, threads), expected) << name << ", " << threads;
    }
}

}  // namespace bastor::test
