#pragma once

#include <string>

#include "BastorShared/records/AuditEntry.h"
#include "BastorShared/records/BastorRequest.h"
#include "BastorShared/records/BastorResult.h"

namespace bastor::test {

inline const std::string kHashA(64, 'a');
inline const std::string kHashB(64, 'b');

// 2026-12-04T23:09:17Z
[[nodiscard]] DateTime sampleTime();

// Every optional field set; strings exercise escapes and non-ASCII text.
[[nodiscard]] AuditEntry fullEntry();
// Only the always-present fields, all strings empty.
[[nodiscard]] AuditEntry minimalEntry();
[[nodiscard]] BastorRequest fullRequest();
[[nodiscard]] BastorRequest minimalRequest();

// Field-by-field comparisons; the records have no equality of their own.
void expectSame(const AuditEntry& expected, const AuditEntry& actual);
void expectSame(const BastorRequest& expected, const BastorRequest& actual);
void expectSame(const BastorResult& expected, const BastorResult& actual);

}  // namespace bastor::test
