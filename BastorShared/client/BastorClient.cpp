#include "BastorShared/client/BastorClient.h"

#include <future>

#include "BastorShared/records/BastorJSON.h"

namespace bastor {
BastorClient::BastorClient(const std::string& socketPath) : connection_(socketPath) {}

BastorCallOutcome BastorClient::await(std::string_view method, std::string_view paramsJSON) {
    // The handler owns the promise: it may still be returning from
    // set_value() when this thread wakes and leaves.
    auto promise = std::make_shared<std::promise<BastorCallOutcome>>();
    auto outcome = promise->get_future();
    connection_.call(method, paramsJSON, [promise](BastorCallOutcome result) {
        promise->set_value(std::move(result));
    });
    return outcome.get();
}

std::string BastorClient::callRaw(std::string_view method, std::string_view paramsJSON) {
    BastorCallOutcome outcome = await(method, paramsJSON);
    if (!outcome.reply) throw BastorConnectionLost(outcome.failure);
    return std::move(outcome.line);
}

std::string BastorClient::call(std::string_view method, std::string_view paramsJSON) {
    BastorCallOutcome outcome = await(method, paramsJSON);
    if (outcome.tooLarge) throw BastorReplyTooLarge(outcome.failure);
    if (!outcome.reply) throw BastorConnectionLost(outcome.failure);
    if (outcome.reply->isError()) {
        throw BastorRemoteError(*outcome.reply->errorCode, outcome.reply->errorMessage);
    }
    return std::move(outcome.reply->json).value_or(std::string());
}

BastorState BastorClient::getState() {
    return BastorJSON::decode<BastorState>(call(BastorMethod::getState, "{}"));
}

BastorState BastorClient::setEnabled(bool value) {
    return BastorJSON::decode<BastorState>(
        call(BastorMethod::setEnabled, BastorRpc::valueParams(value)));
}

BastorState BastorClient::setAutoApproval(bool value) {
    return BastorJSON::decode<BastorState>(
        call(BastorMethod::setAutoApproval, BastorRpc::valueParams(value)));
}

BastorState BastorClient::setAuditEnabled(bool value) {
    return BastorJSON::decode<BastorState>(
        call(BastorMethod::setAuditEnabled, BastorRpc::valueParams(value)));
}

BastorResult BastorClient::execute(const BastorRequest& request) {
    const std::string params = BastorRpc::textParams("requestJSON", BastorJSON::encode(request));
    return BastorJSON::decode<BastorResult>(call(BastorMethod::execute, params));
}

void BastorClient::recordEvent(const AuditEntry& entry) {
    call(BastorMethod::recordEvent, BastorRpc::textParams("eventJSON", BastorJSON::encode(entry)));
}

std::vector<AuditEntry> BastorClient::readAudit(std::int64_t offset, std::int64_t limit) {
    std::string page;
    try {
        page = call(BastorMethod::readAudit, BastorRpc::pageParams(offset, limit));
    } catch (const BastorRemoteError& error) {
        // The helper's refusal to build the page, and a page too long to
        // read, ask the caller for the same: fewer entries.
        if (error.code() == BastorWire::operationFailed && error.what() == BastorWire::pageTooLarge)
            throw BastorReplyTooLarge(error.what());
        throw;
    }
    return BastorJSON::decode<std::vector<AuditEntry>>(page);
}

BastorVerification BastorClient::verifyAudit() {
    return BastorJSON::decode<BastorVerification>(call(BastorMethod::verifyAudit, "{}"));
}

}  // namespace bastor
