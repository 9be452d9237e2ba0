#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <future>
#include <memory>
#include <optional>
#include <thread>

#include "BastorShared/audit/AuditLogFiles.h"
#include "BastorShared/audit/AuditWitness.h"
#include "BastorShared/client/BastorClient.h"
#include "BastorShared/platform/SystemError.h"
#include "BastorShared/records/BastorJSON.h"
#include "BastorShared/records/BastorXPCEndpoint.h"
#include "bastorctl/AuditFilter.h"
#include "bastorctl/Commands.h"
#include "bastorctl/JournalWitness.h"
#include "bastorctl/TerminalText.h"

namespace bastor {
namespace {

// Entries per call. An entry may be as large as a request line allows, so a
// page that comes back too large is asked for again in halves.
constexpr std::int64_t pageSize = 10;

// Reads the log from `cursor` on, a page at a time, handing every entry to
// `take` until it returns false or the log ends; `cursor` is left after the
// last entry read.
template <class Take>
void scan(BastorClient& client, std::int64_t& cursor, Take take) {
    std::int64_t page = pageSize;
    for (;;) {
        std::vector<AuditEntry> got;
        try {
            got = client.readAudit(cursor, page);
        } catch (const BastorReplyTooLarge&) {
            if (page == 1) throw;  // the helper sent more than it can
            page /= 2;
            continue;
        }
        for (const auto& entry : got) {
            ++cursor;
            if (!take(entry)) return;
        }
        if (static_cast<std::int64_t>(got.size()) < page) return;
        page = std::min(page * 2, pageSize);
    }
}

std::string padded(const std::string& text, std::size_t width) {
    const std::size_t shown = TerminalText::width(text);
    return shown >= width ? text : text + std::string(width - shown, ' ');
}

// Column widths grow to fit; a follower starts them wide enough for most
// entries so that later batches line up with the first.
struct TableWidths {
    std::size_t columns[5] = {};
};

void printTable(const std::vector<AuditEntry>& entries, TableWidths& widths, bool header) {
    struct Row {
        std::string seq, time, event, client, exit, command;
    };
    std::vector<Row> rows;
    if (header) rows.push_back({"SEQ", "TIME", "EVENT", "CLIENT", "EXIT", "COMMAND"});
    for (const auto& entry : entries) {
        rows.push_back({std::to_string(entry.seq), formatDateTime(entry.time),
                        std::string(rawValue(entry.event)),
                        TerminalText::visible(entry.client.displayName()),
                        entry.exitCode ? std::to_string(*entry.exitCode) : "-",
                        entry.argv.empty() ? "-" : TerminalText::commandLine(entry.argv)});
    }
    for (const auto& row : rows) {
        const std::string* cells[5] = {&row.seq, &row.time, &row.event, &row.client, &row.exit};
        for (int i = 0; i < 5; ++i)
            widths.columns[i] = std::max(widths.columns[i], TerminalText::width(*cells[i]));
    }
    const auto* w = widths.columns;
    for (const auto& row : rows) {
        const std::string seq = std::string(w[0] - row.seq.size(), ' ') + row.seq;
        std::printf("%s  %s  %s  %s  %s  %s\n", seq.c_str(), padded(row.time, w[1]).c_str(),
                    padded(row.event, w[2]).c_str(), padded(row.client, w[3]).c_str(),
                    padded(row.exit, w[4]).c_str(), row.command.c_str());
    }
}

std::optional<BastorAuditEvent> eventNamed(const std::string& name) {
    return fromRawValue<BastorAuditEvent>(name);
}

struct LogOptions {
    std::int64_t offset = 0;
    std::int64_t limit = 50;
    bool json = false;
    bool follow = false;
    std::vector<std::string> events;
    std::string since, until;
    AuditFilter filter;
};

// How often a follower asks for new entries.
constexpr auto followInterval = std::chrono::seconds(1);

// The number of entries in the log. Every call makes the helper read the
// whole log, so this probes with one-entry pages, doubling then halving,
// instead of paging through it all.
std::int64_t entryCount(BastorClient& client) {
    const auto present = [&](std::int64_t index) { return !client.readAudit(index, 1).empty(); };
    std::int64_t low = 0, high = 1;  // low <= count < high
    while (present(high - 1)) {
        low = high;
        high *= 2;
    }
    while (high - low > 1) {
        const std::int64_t middle = low + (high - low) / 2;
        (present(middle - 1) ? low : high) = middle;
    }
    return low;
}

int showLog(BastorClient& client, const LogOptions& options) {
    std::int64_t cursor = std::max<std::int64_t>(options.offset, 0);
    std::vector<AuditEntry> batch;
    if (options.follow) {
        // Like tail -f: what matches among the last entries, then each new one.
        cursor = std::max(cursor, entryCount(client) - options.limit);
        scan(client, cursor, [&](const AuditEntry& entry) {
            if (options.filter.matches(entry)) batch.push_back(entry);
            return true;
        });
    } else {
        const auto limit = static_cast<std::size_t>(options.limit);
        scan(client, cursor, [&](const AuditEntry& entry) {
            if (options.filter.matches(entry)) batch.push_back(entry);
            return batch.size() < limit;
        });
    }

    TableWidths widths =
        options.follow ? TableWidths{{5, kDateTimeLength, 15, 9, 4}} : TableWidths{};
    if (options.json && !options.follow) {
        std::printf("%s\n", BastorJSON::encode(batch).c_str());
        return 0;
    }
    for (bool first = true;; first = false) {
        // A follower writes JSON Lines: an array never ends.
        if (options.json) {
            for (const auto& entry : batch)
                std::printf("%s\n", BastorJSON::encode(entry).c_str());
        } else if (first || !batch.empty()) {
            printTable(batch, widths, first);
            if (batch.empty() && !options.follow) std::printf("(no entries)\n");
        }
        if (!options.follow) return 0;
        std::fflush(stdout);
        std::this_thread::sleep_for(followInterval);
        batch.clear();
        scan(client, cursor, [&](const AuditEntry& entry) {
            if (options.filter.matches(entry)) batch.push_back(entry);
            return true;
        });
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
    auto options = std::make_shared<LogOptions>();
    auto* log = app.add_subcommand("log", "Show audit log entries, oldest first");
    log->add_option("--offset", options->offset, "Entries to skip from the oldest")
        ->capture_default_str();
    log->add_option("--limit", options->limit,
                    "Most entries to show; with --follow, how many of the latest to look at first")
        ->capture_default_str()
        ->check(CLI::PositiveNumber);
    log->add_flag("--json", options->json,
                  "Print the entries as one JSON array (with --follow, one entry per line)");
    const CLI::Validator knownEvent(
        [](std::string& name) -> std::string {
            return eventNamed(name) ? "" : "unknown event '" + name + "'";
        },
        "EVENT");
    log->add_option("--event", options->events,
                    "Only entries of this event (requested, denied, timed_out, approved, "
                    "completed, failed, bastor_enabled, bastor_disabled); may be repeated")
        ->check(knownEvent);
    const auto timeCheck = [](TimeBound bound) {
        return CLI::Validator(
            [bound](std::string& text) -> std::string {
                return parseTimeBound(text, bound) ? ""
                                                   : "'" + text +
                                                         "' is not a time such as "
                                                         "2026-12-06T14:00:00Z or a date such as "
                                                         "2026-12-06";
            },
            "TIME");
    };
    log->add_option("--since", options->since,
                    "Only entries at or after TIME (2026-12-06T14:00:00Z, or a date in UTC)")
        ->check(timeCheck(TimeBound::since));
    log->add_option("--until", options->until,
                    "Only entries at or before TIME (a date includes its whole day)")
        ->check(timeCheck(TimeBound::until));
    log->add_option("--grep", options->filter.grep,
                    "Only entries whose command line or reason contains TEXT");
    log->add_flag("--follow,-f", options->follow,
                  "Keep running and show new entries as they are written, until Ctrl-C");
    log->callback([&context, options] {
        for (const auto& name : options->events)
            options->filter.events.push_back(*eventNamed(name));
        if (!options->since.empty())
            options->filter.since = parseTimeBound(options->since, TimeBound::since);
        if (!options->until.empty())
            options->filter.until = parseTimeBound(options->until, TimeBound::until);
        context.action = [&context, options] { return showLog(context.client(), *options); };
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
