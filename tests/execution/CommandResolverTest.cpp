#include "BastorShared/execution/CommandResolver.h"

#include <gtest/gtest.h>

#include "ExecutionTestSupport.h"

namespace bastor {
namespace {

using testing::errorOf;

std::string real(const std::string& path) {
    return std::filesystem::canonical(path);
}

TEST(CommandResolver, ResolvesToCanonicalPaths) {
    testing::TempDir dir;
    const std::string tool = dir.write("tool", "#!/bin/sh\n", 0755);
    std::filesystem::create_symlink(tool, dir / "link");
    EXPECT_EQ(CommandResolver::resolve("ls"), real("/usr/bin/ls"));
    EXPECT_EQ(CommandResolver::resolve("sh"), real("/usr/bin/sh"));  // a link on Debian
    EXPECT_EQ(CommandResolver::resolve(tool), real(tool));           // outside the search path
    EXPECT_EQ(CommandResolver::resolve(dir / "link"), real(tool));
    EXPECT_EQ(CommandResolver::resolve(dir / "./tool"), real(tool));
}

TEST(CommandResolver, RefusalsNameWhatTheClientSent) {
    testing::TempDir dir;
    const std::string plain = dir.write("plain", "data", 0644);
    std::filesystem::create_directory(dir / "folder");
    std::filesystem::create_symlink(dir / "folder", dir / "folder-link");
    std::filesystem::create_symlink(dir / "gone", dir / "dangling");
    const std::string notFound = "Executable not found or not executable: ";
    const std::string relative = "Relative executable paths containing '/' are not allowed";
    const std::string nul("/usr/bin/ls\0x", 13);  // a system call would see /usr/bin/ls
    const std::pair<std::string, std::string> cases[] = {
        {"./run.sh", relative},
        {"bin/tool", relative},
        {"/usr/bin", notFound + "/usr/bin"},
        {plain, notFound + plain},
        {dir / "folder-link", notFound + dir / "folder-link"},
        {dir / "dangling", notFound + dir / "dangling"},
        {nul, notFound + nul},
        {"no-such-tool", "Executable 'no-such-tool' was not found in Bastor's fixed PATH"},
        {"", "Executable '' was not found in Bastor's fixed PATH"},
    };
    for (const auto& [name, message] : cases)
        EXPECT_EQ(errorOf([&] { (void)CommandResolver::resolve(name); }), message) << name;
}

TEST(CommandResolver, WorkingDirectories) {
    testing::TempDir dir;
    std::filesystem::create_symlink(dir.path, dir / "link");
    for (const auto& good : {std::string("/"), dir / "link"})
        EXPECT_NO_THROW(CommandResolver::validateWorkingDirectory(good));
    const std::string missing = "Working directory does not exist or is not a directory: ";
    const std::string nul("/tmp\0/x", 7);
    for (const auto& [cwd, message] : std::initializer_list<std::pair<std::string, std::string>>{
             {"tmp", "cwd must be an absolute path"},
             {"", "cwd must be an absolute path"},
             {"/etc/hosts", missing + "/etc/hosts"},
             {nul, missing + nul}})
        EXPECT_EQ(errorOf([&] { CommandResolver::validateWorkingDirectory(cwd); }), message);
}

TEST(CommandResolver, Warnings) {
    const std::string shell =
        "This command runs a shell or interpreter. Review every argument carefully.";
    const std::string path =
        "An argument touches security settings, launch daemons, or Bastor's protected directory.";
    const struct {
        std::string resolvedPath;
        std::vector<std::string> argv;
        std::vector<std::string> expected;
    } cases[] = {
        {"/bin/zsh", {"zsh"}, {shell}},
        {"/usr/local/bin/Python3", {"x"}, {shell}},
        {"/usr/bin/bash/", {"x"}, {shell}},
        {"/usr/bin/shx", {"x"}, {}},
        {"/usr/bin/cat", {"cat", "/etc/sudoers.d/extra"}, {path}},
        {"/usr/bin/cp", {"cp", "a", "/Library/LaunchDaemons/a.plist", "/etc/pam.d/x"}, {path}},
        {"/usr/bin/cat",
         {"cat", "../etc/sudoers", "--f=/etc/sudoers", "/library/launchdaemons"},
         {}},
        {"/bin/sh", {"/Library/Application Support/Nocta/Bastor/state.json"}, {shell, path}},
    };
    for (const auto& c : cases) {
        BastorRequest request;
        request.resolvedPath = c.resolvedPath;
        request.argv = c.argv;
        EXPECT_EQ(CommandResolver::warnings(request), c.expected) << c.resolvedPath;
    }
}

}  // namespace
}  // namespace bastor
