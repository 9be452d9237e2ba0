#include "BastorShared/LibraryVersion.h"

namespace bastor {

std::string_view libraryVersion() noexcept {
    return BASTOR_LIBRARY_VERSION;
}

}  // namespace bastor
