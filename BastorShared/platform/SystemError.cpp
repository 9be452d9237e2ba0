#include "BastorShared/platform/SystemError.h"

#include <cerrno>
#include <cstring>

namespace bastor {

namespace {
std::string describe(std::string_view what, std::string_view where, int error) {
    std::string text(what);
    if (!where.empty()) {
        text += " '";
        text += where;
        text += "'";
    }
    text += ": ";
    text += std::strerror(error);
    return text;
}
}  // namespace

SystemError::SystemError(std::string_view what, std::string_view where, int error)
    : std::runtime_error(describe(what, where, error)), code_(error) {}

void throwSystemError(std::string_view what, std::string_view where) {
    throw SystemError(what, where, errno);
}

}  // namespace bastor
