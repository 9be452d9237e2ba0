// Asks Bastor's helper for its three switches and prints them. The helper
// answers only the client programs it was built to serve: see
// NoctaBastorHelper(8) before running this against an installed helper.
#include <cstdio>
#include <exception>
#include <string>

#include "BastorShared/LibraryVersion.h"
#include "BastorShared/client/BastorClient.h"
#include "BastorShared/records/BastorJSON.h"

int main(int argc, char** argv) {
    const std::string socketPath =
        argc > 1 ? argv[1] : std::string(bastor::BastorXPCEndpoint::socketPath);
    try {
        bastor::BastorClient client(socketPath);
        const bastor::BastorState state = client.getState();
        std::printf("helper on:     %s\n", state.enabled ? "yes" : "no");
        std::printf("auto-approval: %s\n", state.autoApproval ? "yes" : "no");
        std::printf("audit:         %s\n", state.auditEnabled ? "yes" : "no");
        std::printf("as JSON:       %s\n", bastor::BastorJSON::encode(state).c_str());
        std::printf("library:       %.*s\n", static_cast<int>(bastor::libraryVersion().size()),
                    bastor::libraryVersion().data());
        return 0;
    } catch (const std::exception& error) {
        // The helper's own descriptions are meant to be shown as they are.
        std::fprintf(stderr, "status-client: %s\n", error.what());
        return 1;
    }
}
