#include "BastorShared/execution/TrustedExecutable.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <thread>

#include "BastorShared/execution/BastorExecutor.h"
#include "BastorShared/records/BastorError.h"
#include "tests/execution/TestCgroups.h"

namespace bastor {
namespace {

namespace fs = std::filesystem;

// A directory only root can change, as the rule requires: /tmp would not do.
struct RootOnlyDir {
    std::string path = ::mkdtemp(std::string("/run/bastor-trusted-XXXXXX").data());
    ~RootOnlyDir() { fs::remove_all(path); }
    std::string make(const std::string& name, mode_t mode, uid_t owner = 0,
                     const std::string& content = "#!/bin/sh\ntouch \"$0.ran\"\n") const {
        const std::string file = path + "/" + name;
        fs::create_directories(fs::path(file).parent_path());
        std::ofstream(file) << content;
        ::chmod(file.c_str(), mode);
        if (::chown(file.c_str(), owner, 0) != 0) ADD_FAILURE() << "chown " << file;
        return file;
    }
    std::string makeDirectory(const std::string& name, mode_t mode, uid_t owner = 0) const {
        const std::string directory = path + "/" + name;
        fs::create_directory(directory);
        ::chmod(directory.c_str(), mode);
        if (::chown(directory.c_str(), owner, 0) != 0) ADD_FAILURE() << "chown " << directory;
        return directory;
    }
};

std::string refusal(const std::string& file, const std::string& culprit) {
    return "The executable " + file + " could be replaced by a user other than root: " + culprit +
           "; the command was not run";
}

BastorRequest requestFor(const std::string& file) {
    auto request = BastorRequest::validated({file}, "/", {}, 60, "test", {"trust-tests", "1"});
    request.resolvedPath = file;
    return request;
}

TEST(TrustedExecutable, RefusesWhatAUserOtherThanRootCouldReplace) {
    RootOnlyDir dir;
    const std::string& d = dir.path;
    constexpr uid_t nobody = 65534;
    dir.makeDirectory("nobodys", 0755, nobody);
    dir.makeDirectory("shared", 0775);
    dir.makeDirectory("open", 0757);
    dir.makeDirectory("sticky", 01757);
    dir.makeDirectory("nobodys/inner", 0755);
    // file, mode, owner, what is refused ("" = admitted)
    const std::tuple<std::string, mode_t, uid_t, std::string> cases[] = {
        {"tool", 0755, 0, ""},
        {"setuid", 04755, 0, ""},
        {"group-writable", 0775, 0, d + "/group-writable is writable by group root"},
        {"world-writable", 0757, 0, d + "/world-writable is writable by others"},
        {"nobodys-file", 0755, nobody, d + "/nobodys-file is owned by nobody"},
        {"nobodys/inner/tool", 0755, 0, d + "/nobodys is owned by nobody"},
        {"shared/tool", 0755, 0, d + "/shared is writable by group root"},
        {"open/tool", 0755, 0, d + "/open is writable by others"},
        // Others may write a sticky directory but not remove root's file from it.
        {"sticky/tool", 0755, 0, ""},
        {"sticky/nobodys", 0755, nobody, d + "/sticky/nobodys is owned by nobody"},
    };
    test::ContainedExecutor executor;
    for (const auto& [name, mode, owner, culprit] : cases) {
        SCOPED_TRACE(name);
        const std::string file = dir.make(name, mode, owner);
        try {
            (void)executor->run(requestFor(file));
            EXPECT_EQ(culprit, "");
            EXPECT_TRUE(fs::exists(file + ".ran"));
        } catch (const BastorError& error) {
            EXPECT_EQ(error.errorDescription(), refusal(file, culprit));
            EXPECT_FALSE(fs::exists(file + ".ran"));
        }
    }
    // The stock search path is all root's.
    EXPECT_NO_THROW((void)TrustedExecutable::open("/usr/bin/env"));
}

// While the file at an approved path is swapped for another about once a
// millisecond, what runs is always the file that passed the checks: the
// other one, writable by group, is refused whenever it is the one found,
// and never runs in the place of the first.
TEST(TrustedExecutable, RunsOnlyTheFileThatWasChecked) {
    RootOnlyDir dir;
    const std::string tool = dir.path + "/tool";
    fs::copy_file("/usr/bin/whoami", dir.path + "/checked");  // prints "root"
    fs::copy_file("/usr/bin/nproc", dir.path + "/other");     // prints a number
    ::chmod((dir.path + "/other").c_str(), 0775);
    fs::copy_file("/usr/bin/whoami", tool);

    std::atomic<bool> stop = false;
    std::thread swapper([&] {
        for (int turn = 0; !stop; ++turn) {
            const std::string source = dir.path + (turn % 2 ? "/checked" : "/other");
            const std::string staged = dir.path + "/staged";
            fs::remove(staged);
            fs::create_hard_link(source, staged);
            fs::rename(staged, tool);
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
    });
    test::ContainedExecutor executor;
    std::map<std::string, int> outcomes;
    for (int run = 0; run < 1000; ++run) {
        try {
            ++outcomes[executor->run(requestFor(tool)).result.stdout];
        } catch (const BastorError& error) {
            ++outcomes[error.errorDescription()];
        }
    }
    stop = true;
    swapper.join();

    const std::set<std::string> expected{
        "root\n", refusal(tool, tool + " is writable by group root"),
        "The resolved executable changed after approval; the command was not run"};
    for (const auto& [outcome, count] : outcomes)
        EXPECT_TRUE(expected.count(outcome)) << count << " times: " << outcome;
    EXPECT_GT(outcomes["root\n"], 0);
}

}  // namespace
}  // namespace bastor
