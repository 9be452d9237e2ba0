#include "BastorShared/records/BastorError.h"

namespace bastor {

namespace {
std::string fixedText(BastorError::Kind kind, std::string message) {
    switch (kind) {
        case BastorError::Kind::invalidInput:
        case BastorError::Kind::execution:
            return message;
        case BastorError::Kind::off:
            return "Bastor is off. Ask the user to turn it on in Nocta \u25B8 Settings \u25B8 "
                   "Bastor.";
        case BastorError::Kind::helperNotReady:
            return "Bastor's helper isn't running. Ask the user to finish setup in Nocta \u25B8 "
                   "Settings \u25B8 Bastor.";
        case BastorError::Kind::denied:
            return "The request was denied.";
        case BastorError::Kind::timedOut:
            return "The request was not approved within 120 seconds, so it was not run.";
    }
    return message;
}
}  // namespace

std::string describe(const std::exception& error) {
    if (const auto* own = dynamic_cast<const BastorError*>(&error)) return own->errorDescription();
    return error.what();
}

BastorError::BastorError(Kind kind, std::string message)
    : kind_(kind), description_(fixedText(kind, std::move(message))) {}

}  // namespace bastor
