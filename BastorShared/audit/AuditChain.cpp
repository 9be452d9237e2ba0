#include "BastorShared/audit/AuditChain.h"
