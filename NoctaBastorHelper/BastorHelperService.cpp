#include "NoctaBastorHelper/BastorHelperService.h"

#include <signal.h>

#include <exception>
#include <utility>

#include "BastorShared/platform/ChildProcesses.h"
#include "BastorShared/platform/Memory.h"
#include "BastorShared/records/BastorError.h"
#include "BastorShared/records/BastorJSON.h"

namespace bastor {

namespace {

using Clock = std::chrono::steady_clock;
using Method = RpcCall::Method;

// Past this a call's text is large enough that its memory is handed back
// to the system when the call ends.
constexpr std::size_t kLargeText = 1u << 20;

// The longest page of entries a reply carries: what a client reads, less
// the reply's own members and an id of a reasonable length.
constexpr std::size_t kMaxPageSent = BastorWire::maxReplyBytes - 4096;

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

void releaseMemory() noexcept {
    BastorJSON::releaseThreadBuffers();
    Memory::returnFreeMemory();
}

// Takes the text out of its owner, so it is freed once decoded rather than
// when the call ends.
std::string take(std::string& text) {
    std::string taken;
    taken.swap(text);
    return taken;
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

BastorHelperService::~BastorHelperService() {
    pool_.drain();
}

template <class Work>
void BastorHelperService::perform(BastorReply reply, bool large, Work work) {
    auto task = [reply, large, work = std::move(work)]() mutable {
        std::optional<std::string> json;
        std::optional<std::string> error;
        try {
            json = work();
        } catch (...) {
            error = describe(std::current_exception());
        }
        const bool largeReply = json && json->size() > kLargeText;
        deliver(reply, std::move(json), std::move(error));
        if (large || largeReply) releaseMemory();
    };
    try {
        pool_.run(std::move(task));
    } catch (...) {
        deliver(reply, std::nullopt, describe(std::current_exception()));
    }
}

void BastorHelperService::serve(RpcCall call, std::shared_ptr<const RpcCaller> caller,
                                BastorReply reply) {
    const BastorPeer& peer = caller->peer();
    switch (call.method) {
        case Method::getState:
            return getState(std::move(reply));
        case Method::setEnabled:
            return setEnabled(peer, call.value, std::move(reply));
        case Method::setAutoApproval:
            return setAutoApproval(call.value, std::move(reply));
        case Method::setAuditEnabled:
            return setAuditEnabled(call.value, std::move(reply));
        case Method::execute:
            return execute(std::move(call.text), std::move(caller), std::move(reply));
        case Method::recordEvent:
            return recordEvent(peer, std::move(call.text), std::move(reply));
        case Method::readAudit:
            return readAudit(call.offset, call.limit, std::move(reply));
        case Method::verifyAudit:
            return verifyAudit(std::move(reply));
    }
}

void BastorHelperService::getState(BastorReply reply) {
    perform(std::move(reply), false, [this]() -> std::optional<std::string> {
        return BastorJSON::encode(engine_.currentState());
    });
}

void BastorHelperService::setEnabled(const BastorPeer& peer, bool value, BastorReply reply) {
    perform(std::move(reply), false,
            [this, value, journal = peerFields(peer)]() -> std::optional<std::string> {
                return BastorJSON::encode(engine_.setEnabled(value, journal));
            });
}

void BastorHelperService::setAutoApproval(bool value, BastorReply reply) {
    perform(std::move(reply), false, [this, value]() -> std::optional<std::string> {
        return BastorJSON::encode(engine_.setAutoApproval(value));
    });
}

void BastorHelperService::setAuditEnabled(bool value, BastorReply reply) {
    perform(std::move(reply), false, [this, value]() -> std::optional<std::string> {
        return BastorJSON::encode(engine_.setAuditEnabled(value));
    });
}

void BastorHelperService::execute(std::string requestJSON, std::shared_ptr<const RpcCaller> caller,
                                  BastorReply reply) {
    const bool large = requestJSON.size() > kLargeText;
    // Taken by a free permit at once, or by the pool; `go` is false only when
    // the engine stopped before a permit's thread took it.
    BastorExecutionLimiter::Operation work = [this, reply, large, caller = std::move(caller),
                                              requestJSON =
                                                  std::move(requestJSON)](bool go) mutable {
        if (!go) {
            return deliver(reply, std::nullopt,
                           describe(std::make_exception_ptr(
                               BastorError::execution(BastorEngine::abandonedMessage))));
        }
        try {
            BastorRequest request = BastorJSON::decode<BastorRequest>(take(requestJSON));
            if (large) BastorJSON::releaseThreadBuffers();
            // Before the engine: a request that names someone else is refused
            // like one that does not decode, with nothing audited.
            checkApprover(caller->peer(), request);
            auto journal = peerFields(caller->peer());
            auto present = [caller] { return caller->present(); };
            // From here the call is the engine's: it replies from the thread
            // that runs the command, and a pool thread goes back to the pool.
            engine_.execute(
                std::move(request), std::move(present),
                [reply](BastorEngine::ExecuteOutcome outcome) {
                    if (auto* result = std::get_if<BastorResult>(&outcome))
                        return deliver(reply, BastorJSON::encode(*result), std::nullopt);
                    deliver(reply, std::nullopt, describe(std::get<std::exception_ptr>(outcome)));
                },
                std::move(journal), caller->peer().uid);
        } catch (...) {
            deliver(reply, std::nullopt, describe(std::current_exception()));
        }
        if (large) releaseMemory();
    };
    try {
        // The command then starts on the thread that decodes the call.
        if (engine_.startOnFreePermit(work)) return;
        pool_.run([work = std::move(work)]() mutable { work(true); });
    } catch (...) {
        deliver(reply, std::nullopt, describe(std::current_exception()));
    }
}

void BastorHelperService::recordEvent(const BastorPeer& peer, std::string eventJSON,
                                      BastorReply reply) {
    const bool large = eventJSON.size() > kLargeText;
    auto task = [this, reply, large, journal = peerFields(peer),
                 eventJSON = std::move(eventJSON)]() mutable {
        try {
            // The text and the parser's copy of it go before the entry is sealed.
            const AuditEntry entry = BastorJSON::decode<AuditEntry>(take(eventJSON));
            if (large) BastorJSON::releaseThreadBuffers();
            // Answered once the entry is durable; this thread does not wait.
            engine_.recordEvent(entry, journal, [reply](std::exception_ptr failure) {
                if (!failure) return deliver(reply, std::nullopt, std::nullopt);
                deliver(reply, std::nullopt, describe(std::move(failure)));
            });
        } catch (...) {
            deliver(reply, std::nullopt, describe(std::current_exception()));
        }
        if (large) releaseMemory();
    };
    try {
        pool_.run(std::move(task));
    } catch (...) {
        deliver(reply, std::nullopt, describe(std::current_exception()));
    }
}

void BastorHelperService::readAudit(std::int64_t offset, std::int64_t limit, BastorReply reply) {
    perform(std::move(reply), false, [this, offset, limit]() -> std::optional<std::string> {
        std::string page = BastorJSON::encode(engine_.readAudit(offset, limit, kMaxPageSent));
        // The reader measured the lines as stored; a line written in another
        // form than the encoder's can make the page longer still.
        if (BastorJSON::stringSize(page) > kMaxPageSent)
            throw BastorError::invalidInput(std::string(BastorWire::pageTooLarge));
        return page;
    });
}

void BastorHelperService::verifyAudit(BastorReply reply) {
    perform(std::move(reply), false, [this]() -> std::optional<std::string> {
        return BastorJSON::encode(engine_.verifyAudit());
    });
}

bool BastorHelperService::stop(std::chrono::seconds deadline) {
    const auto end = Clock::now() + deadline;
    // No command starts from here on, not even for a permit a command that
    // ends now frees; executes still on the pool are refused as busy.
    engine_.stopWaiting();
    pool_.drain();
    engine_.stopWaiting();  // one that raced the first call
    if (engine_.waitForRuns(std::chrono::milliseconds{0})) return true;
    ChildProcesses::signalGroups(SIGTERM);
    if (engine_.waitForRuns(killGrace)) return true;
    ChildProcesses::signalGroups(SIGKILL);
    return engine_.waitForRuns(
        std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()));
}

}  // namespace bastor
