#include "BastorShared/execution/CommandResolver.h"

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <memory>
#include <string_view>

#include "BastorShared/platform/Utf8.h"
#include "BastorShared/records/BastorError.h"

namespace bastor {

namespace {

constexpr std::array<std::string_view, 6> kInterpreters{"sh",   "bash", "zsh",
                                                        "perl", "ruby", "osascript"};
constexpr std::array<std::string_view, 4> kProtectedPrefixes{
    "/etc/sudoers", "/etc/pam.d", "/Library/LaunchDaemons",
    "/Library/Application Support/Nocta/Bastor"};

constexpr std::string_view kShellWarning =
    "This command runs a shell or interpreter. Review every argument carefully.";
constexpr std::string_view kPathWarning =
    "An argument touches security settings, launch daemons, or Bastor's protected directory.";

bool isDirectory(const std::string& path, bool& exists) {
    struct stat info {};
    exists = ::stat(path.c_str(), &info) == 0;
    return exists && S_ISDIR(info.st_mode);
}

std::string_view lastComponent(std::string_view path) {
    while (path.size() > 1 && path.back() == '/')
        path.remove_suffix(1);
    const auto slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

}  // namespace

const std::vector<std::string>& CommandResolver::searchPaths() {
    static const std::vector<std::string> paths{
        "/usr/bin",          "/bin", "/usr/sbin", "/sbin", "/usr/local/bin", "/opt/homebrew/bin",
        "/opt/homebrew/sbin"};
    return paths;
}

const std::string& CommandResolver::pathVariable() {
    static const std::string joined = [] {
        std::string text;
        for (const auto& directory : searchPaths()) {
            if (!text.empty()) text += ':';
            text += directory;
        }
        return text;
    }();
    return joined;
}

std::string CommandResolver::canonicalExecutable(const std::string& path,
                                                 const std::string& original) {
    // The system call would see only the part before a NUL: another file.
    const bool representable = path.find('\0') == std::string::npos;
    bool exists = false;
    const bool directory = representable && isDirectory(path, exists);
    if (exists && !directory && ::access(path.c_str(), X_OK) == 0) {
        const std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr),
                                                               &std::free);
        if (real) return std::string(real.get());
    }
    throw BastorError::invalidInput("Executable not found or not executable: " + original);
}

std::string CommandResolver::resolve(const std::string& name) {
    if (name.starts_with('/')) return canonicalExecutable(name, name);
    if (name.find('/') != std::string::npos)
        throw BastorError::invalidInput("Relative executable paths containing '/' are not allowed");
    for (const auto& directory : searchPaths()) {
        try {
            return canonicalExecutable(directory + "/" + name, name);
        } catch (const BastorError&) {
            // The next directory may still have it.
        }
    }
    throw BastorError::invalidInput("Executable '" + name +
                                    "' was not found in Bastor's fixed PATH");
}

void CommandResolver::validateWorkingDirectory(const std::string& cwd) {
    if (!cwd.starts_with('/')) throw BastorError::invalidInput("cwd must be an absolute path");
    bool exists = false;
    if (cwd.find('\0') == std::string::npos && isDirectory(cwd, exists)) return;
    throw BastorError::invalidInput("Working directory does not exist or is not a directory: " +
                                    cwd);
}

std::vector<std::string> CommandResolver::warnings(const BastorRequest& request) {
    std::vector<std::string> found;
    // The name as typed counts too: "sh" resolves to dash on Debian.
    const auto isInterpreter = [](std::string_view path) {
        const std::string name = lowercase(lastComponent(path));
        bool interpreter = name.starts_with("python");
        for (const auto candidate : kInterpreters)
            interpreter = interpreter || name == candidate;
        return interpreter;
    };
    if (isInterpreter(request.resolvedPath) ||
        (!request.argv.empty() && isInterpreter(request.argv.front())))
        found.emplace_back(kShellWarning);

    for (const auto& argument : request.argv) {
        bool touches = false;
        for (const auto prefix : kProtectedPrefixes)
            touches = touches || argument.starts_with(prefix);
        if (touches) {
            found.emplace_back(kPathWarning);
            break;
        }
    }
    return found;
}

}  // namespace bastor
