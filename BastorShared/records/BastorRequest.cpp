#include "BastorShared/records/BastorRequest.h"

#include "BastorShared/platform/Utf8.h"
#include "BastorShared/records/BastorError.h"

namespace bastor {

void BastorRequest::validate() const {
    if (argv.empty() || argv.size() > maxArguments || argv.front().empty())
        throw BastorError::invalidInput(
            "command must contain 1 to 256 items and argv[0] must not be empty");
    // A grapheme takes at least one byte, so the byte length bounds the work.
    if (reason.empty() ||
        (reason.size() > maxReasonCharacters && graphemeCount(reason) > maxReasonCharacters))
        throw BastorError::invalidInput("reason must contain 1 to 2000 characters");
    if (cwd.empty() || cwd.front() != '/')
        throw BastorError::invalidInput("cwd must be an absolute path");
    if (stdin && stdin->size() > maxStdinBytes)
        throw BastorError::invalidInput("stdin must be at most 1 MiB");
    if (timeoutSeconds < minTimeoutSeconds || timeoutSeconds > maxTimeoutSeconds)
        throw BastorError::invalidInput("timeout_seconds must be between 1 and 3600");
}

BastorRequest BastorRequest::validated(std::vector<std::string> argv,
                                       std::optional<std::string> cwd,
                                       std::optional<std::string> stdin,
                                       std::optional<std::int64_t> timeoutSeconds,
                                       std::string reason, BastorClientInfo client) {
    BastorRequest request;
    request.id = Uuid::random();
    request.argv = std::move(argv);
    request.cwd = cwd.value_or("/");
    request.stdin = std::move(stdin);
    request.timeoutSeconds = timeoutSeconds.value_or(defaultTimeoutSeconds);
    request.reason = std::move(reason);
    request.client = std::move(client);
    request.approvalMethod = BastorApprovalMethod::manual;
    request.validate();
    return request;
}

}  // namespace bastor
