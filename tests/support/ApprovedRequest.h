#pragma once
// A valid request, approved for what its argv[0] resolves to now.

#include <optional>
#include <string>
#include <vector>

#include "BastorShared/execution/CommandResolver.h"
#include "BastorShared/records/BastorRequest.h"

namespace bastor::test {

inline BastorRequest approvedRequest(std::vector<std::string> argv, std::string cwd = "/",
                                     std::optional<std::string> stdin = {},
                                     std::int64_t timeout = 60) {
    auto request = BastorRequest::validated(std::move(argv), std::move(cwd), std::move(stdin),
                                            timeout, "test", {"tests", "1"});
    request.resolvedPath = CommandResolver::resolve(request.argv.front());
    return request;
}

// `sh -c script`, approved.
inline BastorRequest shellRequest(const std::string& script, std::int64_t timeout = 60) {
    return approvedRequest({"sh", "-c", script}, "/", {}, timeout);
}

}  // namespace bastor::test
