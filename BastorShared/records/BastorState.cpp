#include "BastorShared/records/BastorState.h"
