#include <CLI/CLI.hpp>
#include <cstdio>
#include <memory>

#include "BastorShared/client/BastorClient.h"
#include "BastorShared/records/BastorJSON.h"
#include "bastorctl/Commands.h"

namespace bastor {
namespace {

const char* onOff(bool value) {
    return value ? "on" : "off";
}

int printState(const BastorState& state) {
    std::printf("Bastor:        %s\nAuto-approval: %s\nAudit:         %s\n", onOff(state.enabled),
                onOff(state.autoApproval), onOff(state.auditEnabled));
    return 0;
}

using Setter = BastorState (BastorClient::*)(bool);

// A subcommand that sets one switch and shows all three.
void addSetter(CLI::App& app, CommandContext& context, const char* name, const char* help,
               Setter setter, std::optional<bool> fixedValue) {
    auto* command = app.add_subcommand(name, help);
    auto value = std::make_shared<std::string>();
    if (!fixedValue) {
        command->add_option("value", *value, "on or off")
            ->required()
            ->check(CLI::IsMember({"on", "off"}));
    }
    command->callback([&context, setter, fixedValue, value] {
        context.action = [&context, setter, fixedValue, value] {
            BastorClient& client = context.client();
            return printState((client.*setter)(fixedValue.value_or(*value == "on")));
        };
    });
}

}  // namespace

void addSwitchCommands(CLI::App& app, CommandContext& context) {
    auto* status = app.add_subcommand("status", "Show the helper's switches");
    auto json = std::make_shared<bool>(false);
    status->add_flag("--json", *json, "Print the switches as the helper's state JSON");
    status->callback([&context, json] {
        context.action = [&context, json] {
            const auto state = context.client().getState();
            if (!*json) return printState(state);
            std::printf("%s\n", BastorJSON::encode(state).c_str());
            return 0;
        };
    });
    addSetter(app, context, "enable", "Turn the helper on, so approved commands can run",
              &BastorClient::setEnabled, true);
    addSetter(app, context, "disable", "Turn the helper off; it then refuses every command",
              &BastorClient::setEnabled, false);
    addSetter(app, context, "auto-approval",
              "on: run commands without asking; off: ask on the terminal for each one",
              &BastorClient::setAutoApproval, std::nullopt);
    addSetter(app, context, "audit", "Record (on) or stop recording (off) the audit log",
              &BastorClient::setAuditEnabled, std::nullopt);
}

}  // namespace bastor
