#include "BastorShared/records/BastorJSON.h"
