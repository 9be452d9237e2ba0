#pragma once

#include <functional>
#include <string>

namespace CLI {
class App;
}

namespace bastor {

class BastorClient;

// What the command line chose. Each command group registers its
// subcommands; the chosen one leaves its work in `action`, which returns the
// exit status and may throw (main prints the error). `client` gives the one
// connection to the helper, made before the program gave up its group, or
// throws why there is none.
struct CommandContext {
    std::string socketPath;
    std::function<BastorClient&()> client;
    std::function<int()> action;
};

void addSwitchCommands(CLI::App& app, CommandContext& context);
void addRunCommand(CLI::App& app, CommandContext& context);
void addLogCommands(CLI::App& app, CommandContext& context);
void addCallCommand(CLI::App& app, CommandContext& context);

}  // namespace bastor
