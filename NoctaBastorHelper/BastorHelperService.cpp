#include "NoctaBastorHelper/BastorHelperService.h"

#include <exception>
#include <utility>

#include "BastorShared/records/BastorError.h"
#include "BastorShared/records/BastorJSON.h"

namespace bastor {

namespace {

// The text a client sees for a failure: our own errors carry their message,
// anything else its platform description.
std::string describe(std::exception_ptr failure) {
    try {
        std::rethrow_exception(std::move(failure));
    } catch (const std::exception& error) {
        return bastor::describe(error);
    } catch (...) {
        return "unknown failure";
    }
}

void deliver(const BastorReply& reply, std::optional<std::string> json,
             std::optional<std::string> error) noexcept {
    try {
        reply(std::move(json), std::move(error));
    } catch (...) {
        // The reply belongs to the transport; its failure is not the call's.
    }
}

// The journald fields naming who sent a call.
JournalFields peerFields(const BastorPeer& peer) {
    return {{"BASTOR_PEER_UID", std::to_string(peer.uid)},
            {"BASTOR_PEER_USER", peer.user},
            {"BASTOR_PEER_PID", std::to_string(peer.pid)}};
}

}  // namespace

void BastorHelperService::checkApprover(const BastorPeer& peer, const BastorRequest& request) {
    if (peer.uid == 0 || request.approvalMethod != BastorApprovalMethod::manual) return;
    if (request.approver == peer.user) return;
    throw BastorError::invalidInput("The approver must be the user who asks for the command, \"" +
                                    peer.user + "\".");
}

BastorHelperService::BastorHelperService(std::filesystem::path directory,
                                         KernelAuditLog::Connection kernelAudit,
                                         const std::string& cgroupRoot)
    : engine_(std::move(directory), kernelAudit, cgroupRoot) {}

template <class Work>
void BastorHelperService::perform(BastorReply reply, Work work) {
    auto task = [reply, work = std::move(work)]() mutable {
        std::optional<std::string> json;
        std::optional<std::string> error;
        try {
            json = work();
        } catch (...) {
            error = describe(std::current_exception());
        }
        deliver(reply, std::move(json), std::move(error));
    };
    try {
        tasks_.run(std::move(task));
    } catch (...) {
        deliver(reply, std::nullopt, describe(std::current_exception()));
    }
}

void BastorHelperService::getState(const BastorPeer&, BastorReply reply) {
    perform(std::move(reply), [this]() -> std::optional<std::string> {
        return BastorJSON::encode(engine_.currentState());
    });
}

void BastorHelperService::setEnabled(const BastorPeer& peer, bool value, BastorReply reply) {
    perform(std::move(reply),
            [this, value, journal = peerFields(peer)]() -> std::optional<std::string> {
                return BastorJSON::encode(engine_.setEnabled(value, journal));
            });
}

void BastorHelperService::setAutoApproval(const BastorPeer&, bool value, BastorReply reply) {
    perform(std::move(reply), [this, value]() -> std::optional<std::string> {
        return BastorJSON::encode(engine_.setAutoApproval(value));
    });
}

void BastorHelperService::setAuditEnabled(const BastorPeer&, bool value, BastorReply reply) {
    perform(std::move(reply), [this, value]() -> std::optional<std::string> {
        return BastorJSON::encode(engine_.setAuditEnabled(value));
    });
}

void BastorHelperService::execute(const BastorPeer& peer, std::string requestJSON,
                                  BastorReply reply) {
    perform(std::move(reply),
            [this, peer, requestJSON = std::move(requestJSON)]() -> std::optional<std::string> {
                const auto request = BastorJSON::decode<BastorRequest>(requestJSON);
                // Before the engine: a request that names someone else is refused
                // like one that does not decode, with nothing audited.
                checkApprover(peer, request);
                return BastorJSON::encode(engine_.execute(request, peerFields(peer)));
            });
}

void BastorHelperService::recordEvent(const BastorPeer& peer, std::string eventJSON,
                                      BastorReply reply) {
    perform(std::move(reply),
            [this, journal = peerFields(peer),
             eventJSON = std::move(eventJSON)]() -> std::optional<std::string> {
                engine_.recordEvent(BastorJSON::decode<AuditEntry>(eventJSON), journal);
                return std::nullopt;
            });
}

void BastorHelperService::readAudit(const BastorPeer&, std::int64_t offset, std::int64_t limit,
                                    BastorReply reply) {
    perform(std::move(reply), [this, offset, limit]() -> std::optional<std::string> {
        return BastorJSON::encode(engine_.readAudit(offset, limit));
    });
}

void BastorHelperService::verifyAudit(const BastorPeer&, BastorReply reply) {
    perform(std::move(reply), [this]() -> std::optional<std::string> {
        return BastorJSON::encode(engine_.verifyAudit());
    });
}

}  // namespace bastor
