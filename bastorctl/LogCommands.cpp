#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <future>
#include <memory>
#include <optional>

#include "BastorShared/audit/AuditLogFiles.h"
#include "BastorShared/audit/AuditWitness.h"
#include "BastorShared/client/BastorClient.h"
#include "BastorShared/platform/SystemError.h"
#include "BastorShared/records/BastorJSON.h"
#include "BastorShared/records/BastorXPCEndpoint.h"
#include "bastorctl/Commands.h"
#include "bastorctl/JournalWitness.h"
#include "bastorctl/TerminalText.h"

namespace bastor {
namespace {

// Entries per call. An entry may carry 128 KiB of output, escaped twice on
// the wire, so small pages keep every reply well inside the 16 MiB line.
constexpr std::int64_t pageSize = 10;

std::vector<AuditEntry> readEntries(BastorClient& client, std::int64_t offset, std::int64_t limit) {
    std::vector<AuditEntry> entries;
    offset = std::max<std::int64_t>(offset, 0);
    while (limit > 0) {
        auto page = client.readAudit(offset, std::min(limit, pageSize));
        const auto got = static_cast<std::int64_t>(page.size());
        std::move(page.begin(), page.end(), std::back_inserter(entries));
        if (got < std::min(limit, pageSize)) break;
        offset += got;
        limit -= got;
    }
    return entries;
}

std::string padded(const std::string& text, std::size_t width) {
    const std::size_t shown = TerminalText::width(text);
    return shown >= width ? text : text + std::string(width - shown, ' ');
}

void printTable(const std::vector<AuditEntry>& entries) {
    struct Row {
        std::string seq, time, event, client, exit, command;
    };
    std::vector<Row> rows{{"SEQ", "TIME", "EVENT", "CLIENT", "EXIT", "COMMAND"}};
    for (const auto& entry : entries) {
        rows.push_back({std::to_string(entry.seq), formatDateTime(entry.time),
                        std::string(rawValue(entry.event)),
                        TerminalText::visible(entry.client.displayName()),
                        entry.exitCode ? std::to_string(*entry.exitCode) : "-",
                        entry.argv.empty() ? "-" : TerminalText::commandLine(entry.argv)});
    }
    std::size_t widths[5] = {};
    for (const auto& row : rows) {
        const std::string* cells[5] = {&row.seq, &row.time, &row.event, &row.client, &row.exit};
        for (int i = 0; i < 5; ++i)
            widths[i] = std::max(widths[i], TerminalText::width(*cells[i]));
    }
    for (const auto& row : rows) {
        const std::string seq = std::string(widths[0] - row.seq.size(), ' ') + row.seq;
        std::printf("%s  %s  %s  %s  %s  %s\n", seq.c_str(), padded(row.time, widths[1]).c_str(),
                    padded(row.event, widths[2]).c_str(), padded(row.client, widths[3]).c_str(),
                    padded(row.exit, widths[4]).c_str(), row.command.c_str());
    }
}

struct VerifyOptions {
    bool witness = false;
    std::optional<std::string> witnessDir;
    std::optional<std::string> logDir;
    std::optional<std::string> machine;
};

int printChain(const BastorVerification& result) {
    if (result.intact) {
        std::printf("intact (%lld entries)\n", static_cast<long long>(result.count));
        return 0;
    }
    std::printf("broken at seq %lld (%lld entries examined)\n",
                static_cast<long long>(result.brokenSeq.value_or(0)),
                static_cast<long long>(result.count));
    return 1;
}

// The log's files as this program may read them: a copy of a machine's log,
// or the helper's own directory, which is root's alone.
std::vector<std::filesystem::path> logFiles(const VerifyOptions& options) {
    const std::filesystem::path directory(
        options.logDir.value_or(std::string(BastorXPCEndpoint::helperDirectory)));
    try {
        return AuditLogFiles::list(directory);
    } catch (const SystemError& error) {
        if (error.code() != EACCES || options.logDir) throw;
        throw std::runtime_error(std::string(error.what()) +
                                 "\nbastorctl: reading the audit log needs root (or --log-dir "
                                 "with a copy of it)");
    }
}

int verifyWithWitness(const VerifyOptions& options) {
    const auto files = logFiles(options);
    JournalWitness::Source source;
    if (options.witnessDir) source.directory = *options.witnessDir;
    source.machine = options.machine;
    // The journal is read while the chain is walked: on two cores the
    // witness then costs little more than the plain verification.
    auto witness =
        std::async(std::launch::async, [source] { return JournalWitness::read(source); });
    AuditWitness::Walk log;
    try {
        log = AuditWitness::walk(files);
    } catch (...) {
        witness.wait();
        throw;
    }
    if (!log.chain.intact) return printChain(log.chain);
    const AuditWitness::Report report = AuditWitness::compare(log, witness.get());

    if (report.rewrittenSeq)
        std::printf("rewritten at seq %lld: it differs from its witness\n",
                    static_cast<long long>(*report.rewrittenSeq));
    if (report.truncatedAfter)
        std::printf("truncated: the log ends at seq %lld, but seq %lld was witnessed\n",
                    static_cast<long long>(report.lastSeq),
                    static_cast<long long>(*report.truncatedAfter));
    if (!report.intact()) return 1;
    std::printf("intact (%lld entries, %lld witnessed)\n",
                static_cast<long long>(report.chain.count),
                static_cast<long long>(report.witnessed));
    if (report.from) {
        std::printf("the witness starts at seq %lld\n", static_cast<long long>(*report.from));
    } else if (report.chain.count > 0) {
        std::printf("no entry of the log is witnessed\n");
    }
    return 0;
}

}  // namespace

void addLogCommands(CLI::App& app, CommandContext& context) {
    struct Options {
        std::int64_t offset = 0;
        std::int64_t limit = 50;
        bool json = false;
    };
    auto options = std::make_shared<Options>();
    auto* log = app.add_subcommand("log", "Show audit log entries, oldest first");
    log->add_option("--offset", options->offset, "Entries to skip from the oldest")
        ->capture_default_str();
    log->add_option("--limit", options->limit, "Most entries to show")
        ->capture_default_str()
        ->check(CLI::PositiveNumber);
    log->add_flag("--json", options->json, "Print the entries as one JSON array");
    log->callback([&context, options] {
        context.action = [&context, options] {
            BastorClient& client = context.client();
            const auto entries = readEntries(client, options->offset, options->limit);
            if (options->json) {
                std::printf("%s\n", BastorJSON::encode(entries).c_str());
            } else {
                printTable(entries);
                if (entries.empty()) std::printf("(no entries)\n");
            }
            return 0;
        };
    });

    auto verifyOptions = std::make_shared<VerifyOptions>();
    auto* verify = app.add_subcommand("verify", "Check the audit log's hash chain end to end");
    verify->add_flag("--witness", verifyOptions->witness,
                     "Also hold the log against its witness records in journald");
    verify->add_option("--witness-dir", verifyOptions->witnessDir,
                       "Read the witness records from this journal directory (implies --witness)");
    verify->add_option("--log-dir", verifyOptions->logDir,
                       "With --witness: verify the audit files in this directory, such as a copy "
                       "of a machine's log");
    verify->add_option("--machine", verifyOptions->machine,
                       "With --witness-dir: the machine id whose records to use");
    verify->callback([&context, verifyOptions] {
        context.action = [&context, verifyOptions] {
            if (verifyOptions->witness || verifyOptions->witnessDir)
                return verifyWithWitness(*verifyOptions);
            if (verifyOptions->logDir || verifyOptions->machine)
                throw std::runtime_error("--log-dir and --machine need --witness");
            return printChain(context.client().verifyAudit());
        };
    });
}

}  // namespace bastor
