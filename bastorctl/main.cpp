// bastorctl: asks Bastor's helper to run commands as root after approval,
// switches it on and off, and reads and verifies its audit log.

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>

#include "BastorShared/client/BastorClientErrors.h"
#include "BastorShared/platform/SystemError.h"
#include "BastorShared/records/BastorError.h"
#include "BastorShared/records/BastorXPCEndpoint.h"
#include "bastorctl/Commands.h"

namespace {

// The helper's own descriptions reach the user exactly as sent; only local
// failures get the program's name in front.
int perform(const std::function<int()>& action) {
    try {
        return action();
    } catch (const bastor::BastorError& error) {
        std::fprintf(stderr, "%s\n", error.what());
    } catch (const bastor::BastorRemoteError& error) {
        std::fprintf(stderr, "%s\n", error.what());
    } catch (const bastor::BastorConnectionLost& error) {
        std::fprintf(stderr, "%s\n", error.what());
    } catch (const bastor::SystemError& error) {
        std::fprintf(stderr, "bastorctl: %s\n", error.what());
        if (error.code() == EACCES) {
            std::fprintf(stderr,
                         "bastorctl: only root and members of the group nocta-bastor may "
                         "talk to the helper\n");
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bastorctl: %s\n", error.what());
    }
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
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
    app.add_option("--socket", context.socketPath, "The helper's socket (for debugging)")
        ->capture_default_str();

    bastor::addSwitchCommands(app, context);
    bastor::addRunCommand(app, context);
    bastor::addLogCommands(app, context);
    bastor::addCallCommand(app, context);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        return app.exit(error) == 0 ? 0 : 2;
    }
    return perform(context.action);
}
