#include "tests/records/TestRecords.h"

#include <gtest/gtest.h>

namespace bastor::test {

namespace {
Uuid uuid(std::string_view text) {
    return Uuid::parse(text).value();
}
}  // namespace

DateTime sampleTime() {
    using namespace std::chrono;
    return sys_days{year(2026) / December / 4} + hours(23) + minutes(9) + seconds(17);
}

AuditEntry fullEntry() {
    AuditEntry e;
    e.id = uuid("0f8fad5b-d9cb-469f-a165-70867728950e");
    e.requestID = uuid("7C9E6679-7425-40DE-944B-E07FC1F90AE7");
    e.seq = 42;
    e.time = sampleTime();
    e.event = BastorAuditEvent::completed;
    e.argv = {"printf", "a/b", "x\ny\tz\r", ""};
    e.resolvedPath = "/usr/bin/printf";
    e.cwd = "/tmp";
    e.stdinSHA256 = std::string(64, 'e');
    e.stdinBytes = 5;
    e.reason = "say \"hi\" \\ \b\f";
    e.client = {"Nocta", "2.1"};
    e.approvalMethod = BastorApprovalMethod::automatic;
    e.approver = "alice";
    e.authMethod = BastorAuthMethod::biometry;
    e.exitCode = -1;
    e.durationMs = 1234;
    e.stdout = "h\xC3\xA9llo \xE2\x9C\x93 \xF0\x9F\x98\x80\n";
    e.stderr = std::string("\x01\x1f\x7f") + '\0';
    e.stdoutSHA256 = std::string(64, 'c');
    e.stderrSHA256 = std::string(64, 'd');
    e.stdoutBytes = 17;
    e.stderrBytes = 4;
    e.error = "";
    e.prevHash = kHashA;
    e.hash = kHashB;
    return e;
}

AuditEntry minimalEntry() {
    AuditEntry e;
    e.id = uuid("00000000-0000-0000-0000-000000000001");
    e.requestID = uuid("00000000-0000-0000-0000-000000000002");
    e.event = BastorAuditEvent::bastorDisabled;
    e.time = DateTime{};
    return e;
}

BastorRequest fullRequest() {
    BastorRequest r;
    r.id = uuid("6ba7b810-9dad-11d1-80b4-00c04fd430c8");
    r.argv = {"ls", "-l", "/var/log"};
    r.resolvedPath = "/usr/bin/ls";
    r.cwd = "/";
    r.stdin = "input\n";
    r.timeoutSeconds = 30;
    r.reason = "list logs";
    r.client = {"bastorctl", "1.0"};
    r.approvalMethod = BastorApprovalMethod::automatic;
    r.approver = "bob";
    r.authMethod = BastorAuthMethod::password;
    return r;
}

BastorRequest minimalRequest() {
    BastorRequest r;
    r.id = uuid("6BA7B810-9DAD-11D1-80B4-00C04FD430C8");
    r.argv = {"true"};
    r.resolvedPath = "/usr/bin/true";
    r.cwd = "/";
    r.timeoutSeconds = 1;
    r.reason = "r";
    r.client = {"c", ""};
    return r;
}

void expectSame(const AuditEntry& a, const AuditEntry& b) {
    EXPECT_EQ(a.id, b.id);
    EXPECT_EQ(a.requestID, b.requestID);
    EXPECT_EQ(a.seq, b.seq);
    EXPECT_EQ(a.time, b.time);
    EXPECT_EQ(a.event, b.event);
    EXPECT_EQ(a.argv, b.argv);
    EXPECT_EQ(a.resolvedPath, b.resolvedPath);
    EXPECT_EQ(a.cwd, b.cwd);
    EXPECT_EQ(a.stdinSHA256, b.stdinSHA256);
    EXPECT_EQ(a.stdinBytes, b.stdinBytes);
    EXPECT_EQ(a.reason, b.reason);
    EXPECT_EQ(a.client, b.client);
    EXPECT_EQ(a.approvalMethod, b.approvalMethod);
    EXPECT_EQ(a.approver, b.approver);
    EXPECT_EQ(a.authMethod, b.authMethod);
    EXPECT_EQ(a.exitCode, b.exitCode);
    EXPECT_EQ(a.durationMs, b.durationMs);
    EXPECT_EQ(a.stdout, b.stdout);
    EXPECT_EQ(a.stderr, b.stderr);
    EXPECT_EQ(a.stdoutSHA256, b.stdoutSHA256);
    EXPECT_EQ(a.stderrSHA256, b.stderrSHA256);
    EXPECT_EQ(a.stdoutBytes, b.stdoutBytes);
    EXPECT_EQ(a.stderrBytes, b.stderrBytes);
    EXPECT_EQ(a.error, b.error);
    EXPECT_EQ(a.prevHash, b.prevHash);
    EXPECT_EQ(a.hash, b.hash);
}

void expectSame(const BastorRequest& a, const BastorRequest& b) {
    EXPECT_EQ(a.id, b.id);
    EXPECT_EQ(a.argv, b.argv);
    EXPECT_EQ(a.resolvedPath, b.resolvedPath);
    EXPECT_EQ(a.cwd, b.cwd);
    EXPECT_EQ(a.stdin, b.stdin);
    EXPECT_EQ(a.timeoutSeconds, b.timeoutSeconds);
    EXPECT_EQ(a.reason, b.reason);
    EXPECT_EQ(a.client, b.client);
    EXPECT_EQ(a.approvalMethod, b.approvalMethod);
    EXPECT_EQ(a.approver, b.approver);
    EXPECT_EQ(a.authMethod, b.authMethod);
}

void expectSame(const BastorResult& a, const BastorResult& b) {
    EXPECT_EQ(a.exitCode, b.exitCode);
    EXPECT_EQ(a.stdout, b.stdout);
    EXPECT_EQ(a.stderr, b.stderr);
    EXPECT_EQ(a.stdoutTruncated, b.stdoutTruncated);
    EXPECT_EQ(a.stderrTruncated, b.stderrTruncated);
    EXPECT_EQ(a.durationMs, b.durationMs);
    EXPECT_EQ(a.auditID, b.auditID);
}

}  // namespace bastor::test
