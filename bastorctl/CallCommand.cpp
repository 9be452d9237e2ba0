#include <CLI/CLI.hpp>
#include <cstdio>
#include <memory>

#include "BastorShared/client/BastorClient.h"
#include "BastorShared/client/BastorRpc.h"
#include "BastorShared/records/BastorXPCProtocol.h"
#include "bastorctl/Commands.h"

namespace bastor {

void addCallCommand(CLI::App& app, CommandContext& context) {
    struct Options {
        std::string method;
        std::string params = "{}";
    };
    auto options = std::make_shared<Options>();
    auto* call = app.add_subcommand(
        "call", "Send one raw JSON-RPC call and print the reply line as it came (for debugging)");
    // The helper serves this program trusting that it runs a command only
    // after approval and records only events it saw happen; a raw call could
    // do neither.
    const CLI::Validator notUnattended(
        [](std::string& method) -> std::string {
            if (method != BastorMethod::execute && method != BastorMethod::recordEvent) return {};
            return "bastorctl sends " + method + " only from 'bastorctl run', after approval";
        },
        "");
    call->add_option("method", options->method,
                     "Method name, such as getState (not execute or recordEvent)")
        ->required()
        ->check(notUnattended);
    call->add_option("params", options->params, "Params as JSON text")->capture_default_str();
    call->callback([&context, options] {
        context.action = [&context, options] {
            BastorClient& client = context.client();
            const std::string line = client.callRaw(options->method, options->params);
            std::fwrite(line.data(), 1, line.size(), stdout);
            std::fputc('\n', stdout);
            return BastorRpc::parseReply(line).isError() ? 1 : 0;
        };
    });
}

}  // namespace bastor
