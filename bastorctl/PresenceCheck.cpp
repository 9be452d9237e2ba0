#include "bastorctl/PresenceCheck.h"

#include <security/pam_appl.h>

#include <cstdlib>
#include <cstring>

namespace bastor {
namespace {

constexpr int maxTries = 3;

struct Conversation {
    TerminalPrompt& terminal;
    const InterruptWatch& interrupts;
    std::chrono::steady_clock::time_point deadline;
    bool secretTyped = false;
    bool messageShown = false;
    // Set when the person stopped answering: refused or timed out.
    std::optional<Presence::Outcome> stopped;
};

void wipe(std::string& secret) {
    ::explicit_bzero(secret.data(), secret.size());
}

// Responses PAM will not take: their secrets are wiped before they are freed.
void release(pam_response* responses, int count) {
    for (int i = 0; i < count; ++i) {
        if (char* text = responses[i].resp) {
            ::explicit_bzero(text, std::strlen(text));
            std::free(text);
        }
    }
    std::free(responses);
}

// PAM calls this with the modules' prompts and messages; it answers from the
// terminal only. Stopping (Ctrl-C, end of input, the deadline) fails the
// conversation, which ends the module's attempt.
extern "C" int converse(int count, const pam_message** messages, pam_response** out, void* data) {
    auto& talk = *static_cast<Conversation*>(data);
    if (count <= 0 || count > PAM_MAX_NUM_MSG) return PAM_CONV_ERR;
    auto* responses = static_cast<pam_response*>(std::calloc(count, sizeof(pam_response)));
    if (!responses) return PAM_BUF_ERR;
    try {
        for (int i = 0; i < count; ++i) {
            const pam_message& message = *messages[i];
            const std::string text = message.msg ? message.msg : "";
            switch (message.msg_style) {
                case PAM_PROMPT_ECHO_OFF:
                case PAM_PROMPT_ECHO_ON: {
                    const bool secret = message.msg_style == PAM_PROMPT_ECHO_OFF;
                    auto line = talk.terminal.readLine(
                        text, secret ? TerminalPrompt::Echo::off : TerminalPrompt::Echo::on,
                        talk.deadline, talk.interrupts, PAM_MAX_RESP_SIZE - 1);
                    if (line.status != TerminalPrompt::Line::Status::read) {
                        wipe(line.text);
                        talk.stopped = line.status == TerminalPrompt::Line::Status::timedOut
                                           ? Presence::Outcome::timedOut
                                           : Presence::Outcome::refused;
                        release(responses, count);
                        return PAM_CONV_ERR;
                    }
                    responses[i].resp = ::strdup(line.text.c_str());
                    wipe(line.text);
                    if (!responses[i].resp) {
                        release(responses, count);
                        return PAM_BUF_ERR;
                    }
                    talk.secretTyped = talk.secretTyped || secret;
                    break;
                }
                case PAM_TEXT_INFO:
                    talk.messageShown = true;
                    [[fallthrough]];
                case PAM_ERROR_MSG:
                    talk.terminal.show(text + "\n");
                    break;
                default:
                    release(responses, count);
                    return PAM_CONV_ERR;
            }
        }
    } catch (...) {
        release(responses, count);
        return PAM_BUF_ERR;
    }
    *out = responses;
    return PAM_SUCCESS;
}

// Ends the PAM transaction with the last status, however it is left.
class Transaction {
  public:
    explicit Transaction(pam_handle_t* handle) : handle_(handle) {}
    ~Transaction() { pam_end(handle_, status); }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    [[nodiscard]] pam_handle_t* get() const { return handle_; }
    int status = PAM_SUCCESS;

  private:
    pam_handle_t* handle_;
};

}  // namespace

Presence provePresence(TerminalPrompt& terminal, const std::string& user,
                       std::chrono::steady_clock::time_point deadline, const std::string& service) {
    // Watched for the whole check: Ctrl-C while a module works between
    // prompts must refuse, not end the program unrecorded.
    const InterruptWatch interrupts;
    Conversation talk{terminal, interrupts, deadline, false, false, std::nullopt};
    const pam_conv conversation{converse, &talk};
    pam_handle_t* handle = nullptr;
    if (pam_start(service.c_str(), user.c_str(), &conversation, &handle) != PAM_SUCCESS) {
        terminal.show("bastorctl: PAM cannot start for service " + service + "\n");
        return {};
    }
    Transaction pam(handle);
    if (const std::string tty = terminal.name(); !tty.empty())
        pam_set_item(pam.get(), PAM_TTY, tty.c_str());
    pam_set_item(pam.get(), PAM_RUSER, user.c_str());

    const auto stoppedOrLate = [&]() -> std::optional<Presence::Outcome> {
        if (talk.stopped) return talk.stopped;
        if (interrupts.happened()) return Presence::Outcome::refused;
        if (std::chrono::steady_clock::now() >= deadline) return Presence::Outcome::timedOut;
        return std::nullopt;
    };
    // A person with no password proves nothing by typing nothing.
    constexpr int flags = PAM_DISALLOW_NULL_AUTHTOK;
    for (int attempt = 1; attempt <= maxTries; ++attempt) {
        talk.secretTyped = talk.messageShown = false;
        pam.status = pam_authenticate(pam.get(), flags);
        if (const auto outcome = stoppedOrLate()) return {*outcome, std::nullopt};
        if (pam.status == PAM_SUCCESS || pam.status == PAM_MAXTRIES || pam.status == PAM_ABORT)
            break;
        if (attempt < maxTries) terminal.show("Sorry, try again.\n");
    }
    if (pam.status == PAM_SUCCESS) pam.status = pam_acct_mgmt(pam.get(), flags);
    if (pam.status != PAM_SUCCESS) {
        terminal.show(std::string("bastorctl: ") + pam_strerror(pam.get(), pam.status) + "\n");
        return {};
    }
    if (const auto outcome = stoppedOrLate()) return {*outcome, std::nullopt};

    Presence presence{Presence::Outcome::proven, std::nullopt};
    if (talk.secretTyped) {
        presence.method = BastorAuthMethod::password;
    } else if (talk.messageShown) {
        presence.method = BastorAuthMethod::biometry;
    }
    return presence;
}

}  // namespace bastor
