// bastorctl: asks Bastor's helper to run commands as root after approval,
// switches it on and off, and reads and verifies its audit log.

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "BastorShared/client/BastorClient.h"
#include "BastorShared/client/BastorClientErrors.h"
#include "BastorShared/platform/ProcessIdentity.h"
#include "BastorShared/platform/SystemError.h"
#include "BastorShared/records/BastorError.h"
#include "BastorShared/records/BastorXPCEndpoint.h"
#include "bastorctl/Commands.h"
#include "bastorctl/HelperAccess.h"

namespace {

// The second line for failures that have a remedy on this machine; the first
// keeps the described text exactly.
void printWithRemedy(const std::string& description) {
    std::fprintf(stderr, "%s\n", description.c_str());
    if (description == bastor::BastorError::helperNotReady().errorDescription()) {
        std::fprintf(stderr,
                     "Start it with: systemctl start nocta-bastor.socket (or see man bastorctl)\n");
    } else if (description == bastor::BastorError::off().errorDescription()) {
        std::fprintf(stderr, "Turn it on with: bastorctl enable\n");
    }
}

// The first word that is neither an option nor an option's value, when it
// names no command.
std::optional<std::string> unknownCommand(const CLI::App& app, int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view word = argv[i];
        if (word == "--") return std::nullopt;
        if (word == "--socket") {
            ++i;
            continue;
        }
        if (word.starts_with('-')) continue;
        for (const CLI::App* command : app.get_subcommands({}))
            if (command->get_name() == word) return std::nullopt;
        return std::string(word);
    }
    return std::nullopt;
}

// The helper's own descriptions reach the user exactly as sent; only local
// failures get the program's name in front.
int perform(const std::function<int()>& action) {
    try {
        return action();
    } catch (const bastor::BastorError& error) {
        printWithRemedy(error.errorDescription());
    } catch (const bastor::BastorRemoteError& error) {
        printWithRemedy(error.what());
    } catch (const bastor::BastorConnectionLost& error) {
        std::fprintf(stderr, "%s\n", error.what());
    } catch (const bastor::SystemError& error) {
        std::fprintf(stderr, "bastorctl: %s\n", error.what());
        if (error.code() == EACCES) {
            std::fprintf(stderr,
                         "bastorctl: the socket admits root and the installed bastorctl "
                         "(root:nocta-bastor, mode 2755) only\n");
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bastorctl: %s\n", error.what());
    }
    return 1;
}

}  // namespace

// Installed setgid nocta-bastor, this program runs in the kernel's
// secure-execution mode: the loader ignores LD_PRELOAD and its kin, and the
// invoking user can neither trace it nor take its descriptors. It uses the
// group for one thing, connecting to the helper's socket, and gives it up
// for good before reading its arguments, files or terminal. Nothing from the
// environment steers it: the socket path is fixed for everyone but root,
// SUDO_USER counts only for root, and as nothing calls setlocale the C locale
// reads every number.
int main(int argc, char** argv) {
    const bool root = ::getuid() == 0;
    std::optional<bastor::BastorClient> client;
    std::exception_ptr connectFailure;
    std::optional<std::string> refusal;
    try {
        bastor::makeNonDumpable();
        refusal = bastor::accessRefusal(BASTOR_USERS_GROUP, "nocta-bastor");
        if (!refusal && !root) {
            try {
                client.emplace(std::string(bastor::BastorXPCEndpoint::socketPath));
            } catch (...) {
                connectFailure = std::current_exception();
            }
        }
        bastor::dropSetgidForGood();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bastorctl: %s\n", error.what());
        return 1;
    }

    CLI::App app(
        "Run commands as root through Bastor's helper, each one after you approve it, "
        "and read the helper's tamper-evident audit log.",
        "bastorctl");
    app.set_version_flag("--version", BASTORCTL_VERSION);
    app.require_subcommand(1);
    app.fallthrough();
    app.footer("Run 'bastorctl COMMAND --help' for the options of one command. See bastorctl(1).");

    bastor::CommandContext context;
    context.socketPath = std::string(bastor::BastorXPCEndpoint::socketPath);
    auto* socketOption = app.add_option("--socket", context.socketPath,
                                        "The helper's socket (root only, for debugging)")
                             ->capture_default_str();

    bastor::addSwitchCommands(app, context);
    bastor::addRunCommand(app, context);
    bastor::addLogCommands(app, context);
    bastor::addCallCommand(app, context);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        if (error.get_exit_code() != 0) {
            if (const auto command = unknownCommand(app, argc, argv)) {
                std::fprintf(stderr, "bastorctl: unknown command '%s'; see bastorctl --help\n",
                             command->c_str());
                return 2;
            }
        }
        return app.exit(error) == 0 ? 0 : 2;
    }
    if (refusal) {
        std::fprintf(stderr, "%s\n", refusal->c_str());
        return 1;
    }
    if (!root && socketOption->count() > 0) {
        std::fprintf(stderr, "bastorctl: only root may choose another socket\n");
        return 2;
    }
    context.client = [&]() -> bastor::BastorClient& {
        if (connectFailure) std::rethrow_exception(connectFailure);
        if (!client) client.emplace(context.socketPath);  // root connects now
        return *client;
    };
    return perform(context.action);
}
