#include <fcntl.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <memory>

#include "BastorShared/audit/AuditEntries.h"
#include "BastorShared/client/BastorClient.h"
#include "BastorShared/execution/CommandResolver.h"
#include "BastorShared/platform/SystemError.h"
#include "BastorShared/platform/UniqueFd.h"
#include "BastorShared/platform/Utf8.h"
#include "BastorShared/records/BastorError.h"
#include "bastorctl/ApprovalPrompt.h"
#include "bastorctl/Commands.h"
#include "bastorctl/InvokingUser.h"
#include "bastorctl/TerminalPrompt.h"
#include "bastorctl/TerminalText.h"

namespace bastor {
namespace {

struct RunOptions {
    std::optional<std::string> cwd;
    std::optional<std::int64_t> timeout;
    std::optional<std::string> stdinFile;
    std::string reason;
    std::vector<std::string> argv;
};

class UsageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Reads at most one byte past the limit: enough for validation to refuse an
// oversized input without reading all of it.
std::string readInput(const std::string& path) {
    UniqueFd opened;
    if (path != "-") {
        opened.reset(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
        if (!opened) throwSystemError("open the stdin file", path);
    }
    const int fd = opened ? opened.get() : STDIN_FILENO;
    std::string content;
    char chunk[65536];
    while (content.size() <= BastorRequest::maxStdinBytes) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throwSystemError("read the stdin file", path);
        if (n == 0) break;
        content.append(chunk, static_cast<std::size_t>(n));
    }
    return content;
}

// Everything travels as JSON text, which cannot carry arbitrary bytes.
void requireText(std::string_view text, const std::string& what) {
    if (!isValidUtf8(text)) throw UsageError(what + " is not UTF-8 text");
}

BastorRequest buildRequest(const RunOptions& options) {
    std::optional<std::string> input;
    if (options.stdinFile) input = readInput(*options.stdinFile);
    for (std::size_t i = 0; i < options.argv.size(); ++i) {
        requireText(options.argv[i], "argument " + std::to_string(i));
    }
    requireText(options.reason, "the reason");
    if (options.cwd) requireText(*options.cwd, "the working directory");
    // An oversized input was cut short, perhaps inside a character: it is
    // refused for its size below, not as text that is not UTF-8.
    if (input && input->size() <= BastorRequest::maxStdinBytes)
        requireText(*input, "the stdin file");

    auto request =
        BastorRequest::validated(options.argv, options.cwd, std::move(input), options.timeout,
                                 options.reason, {"bastorctl", BASTORCTL_VERSION});
    request.resolvedPath = CommandResolver::resolve(request.argv.front());
    return request;
}

std::string summary(const BastorRequest& request) {
    std::string text = "Command:   " + TerminalText::commandLine(request.argv) + "\n";
    text += "Runs:      " + TerminalText::visible(request.resolvedPath) + "\n";
    text += "Directory: " + TerminalText::visible(request.cwd) + "\n";
    text += "Reason:    " + TerminalText::visible(request.reason) + "\n";
    text += "Timeout:   " + std::to_string(request.timeoutSeconds) + " s\n";
    if (request.stdin) text += "Input:     " + std::to_string(request.stdin->size()) + " bytes\n";
    for (const auto& warning : CommandResolver::warnings(request)) {
        text += "Warning:   " + warning + "\n";
    }
    return text;
}

void writeAll(std::FILE* stream, const std::string& bytes) {
    std::fwrite(bytes.data(), 1, bytes.size(), stream);
    std::fflush(stream);
}

int run(const CommandContext& context, const RunOptions& options) {
    BastorRequest request = buildRequest(options);
    BastorClient& client = context.client();
    const BastorState state = client.getState();
    // Asking someone to approve what the helper will refuse wastes their time.
    if (!state.enabled) throw BastorError::off();

    std::optional<TerminalPrompt> prompt;
    if (state.autoApproval) {
        writeAll(stderr, summary(request));
    } else {
        prompt = TerminalPrompt::open();
        if (!prompt) {
            throw UsageError(
                "no terminal to ask for approval, and auto-approval is off; nothing was run");
        }
        // On the terminal itself, so the approver sees what they approve even
        // when standard error goes elsewhere.
        prompt->show(summary(request));
    }

    client.recordEvent(AuditEntries::makeEntry(request, BastorAuditEvent::requested));
    if (prompt) request.authMethod = askApproval(*prompt, client, request, approvalTimeout);
    request.approvalMethod =
        state.autoApproval ? BastorApprovalMethod::automatic : BastorApprovalMethod::manual;
    request.approver = invokingUser();

    const BastorResult result = client.execute(request);
    writeAll(stdout, result.stdout);
    writeAll(stderr, result.stderr);
    if (result.stdoutTruncated) {
        writeAll(stderr, "bastorctl: the command's standard output was cut at 1 MiB\n");
    }
    if (result.stderrTruncated) {
        writeAll(stderr, "bastorctl: the command's standard error was cut at 1 MiB\n");
    }
    // The helper reports a signal by its number alone, so it cannot be told
    // apart from an exit status; both are passed on unchanged.
    return result.exitCode >= 0 && result.exitCode <= 255 ? result.exitCode : 1;
}

}  // namespace

void addRunCommand(CLI::App& app, CommandContext& context) {
    auto options = std::make_shared<RunOptions>();
    auto* run = app.add_subcommand("run", "Run a command as root after you approve it");
    run->footer(
        "Example: bastorctl run --reason 'check disk' -- df -h /\n"
        "Asks \"Run as root? [y/N]\" on the terminal and then, unless you are root,\n"
        "for your password through PAM (120 seconds for both) unless auto-approval\n"
        "is on, then exits with the command's exit code (a command\n"
        "ended by a signal reports the signal's number, as the helper does).");
    run->add_option("--cwd", options->cwd, "Working directory, an absolute path (default /)");
    run->add_option("--timeout", options->timeout,
                    "Time limit in seconds, 1 to 3600 (default 300)");
    run->add_option("--stdin-file", options->stdinFile,
                    "File whose text becomes the command's standard input ('-' for this "
                    "program's own standard input)");
    run->add_option("--reason", options->reason,
                    "Why the command should run, shown to the approver")
        ->required();
    run->add_option("command", options->argv, "The command and its arguments, after --")
        ->required();
    run->callback([&context, options] {
        context.action = [&context, options] {
            try {
                return bastor::run(context, *options);
            } catch (const UsageError& error) {
                std::fprintf(stderr, "bastorctl: %s\n", error.what());
                return 1;
            }
        };
    });
}

}  // namespace bastor
