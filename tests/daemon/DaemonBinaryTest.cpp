#include "tests/daemon/DaemonTestSupport.h"

namespace bastor::test {

// The daemon run as real uid and gid nobody, with the given effective uid, in
// a mount namespace where /Library is an empty tmpfs: its output, its exit
// status, and "created" if the helper directory appeared.
static std::string runAsNobody(int effectiveUid) {
    const std::string hideLibrary =
        "{ [ ! -d /Library ] || mount -t tmpfs none /Library; } || exit";
    const std::string daemon = "setpriv --ruid 65534 --regid 65534 --clear-groups --euid " +
                               std::to_string(effectiveUid) + " " + BASTOR_DAEMON_BINARY;
    const std::string created =
        "[ ! -e \"/Library/Application Support/Nocta/Bastor\" ] || echo created";
    return outputOf("unshare --mount sh -c '" + hideLibrary + "; " + daemon +
                    " 2>&1; echo exit $?; " + created + "'");
}

TEST(DaemonBinary, RefusesEveryRealUserButRootBeforeCreatingAnything) {
    // The real uid decides, even with an effective uid of 0.
    for (const int effectiveUid : {65534, 0})
        EXPECT_EQ(runAsNobody(effectiveUid), "NoctaBastorHelper must run as root.\nexit 1\n")
            << "euid " << effectiveUid;
}

}  // namespace bastor::test
