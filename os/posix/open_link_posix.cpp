#include "os/open_link.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#if defined(__APPLE__)
#include <crt_externs.h>   // a shared library on macOS reaches environ only through this
#else
extern char** environ;
#endif

namespace platform {

namespace {

char** Environment() {
#if defined(__APPLE__)
    return *_NSGetEnviron();
#else
    return environ;
#endif
}

#if defined(__APPLE__)
std::string FindOpener() { return "/usr/bin/open"; }
#else
// xdg-open, found in PATH before forking: between fork and exec the host's
// threads may hold locks, so the child does nothing but exec.
std::string FindOpener() {
    const char* path = std::getenv("PATH");
    std::string folders = path != nullptr && path[0] != '\0' ? path : "/usr/local/bin:/usr/bin:/bin";
    size_t start = 0;
    while (start <= folders.size()) {
        size_t end = folders.find(':', start);
        if (end == std::string::npos) end = folders.size();
        const std::string folder = end > start ? folders.substr(start, end - start) : ".";
        const std::string candidate = folder + "/xdg-open";
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
        start = end + 1;
    }
    return "";
}
#endif

}  // namespace

bool OpenLink(const char* target, void*) {
    // The target goes to the handler as one argument, never through a shell;
    // a leading "-" would read as an option.
    if (target == nullptr || target[0] == '\0' || target[0] == '-') return false;
    const std::string opener = FindOpener();
    if (opener.empty()) return false;
    std::string argument = target;
    char** const environment = Environment();
    char* argv[] = {const_cast<char*>(opener.c_str()), argument.data(), nullptr};

    // Twice forked, so that the handler belongs to init and leaves no zombie
    // in the host; the short-lived first child is waited for here.
    const pid_t child = ::fork();
    if (child < 0) return false;
    if (child == 0) {
        const pid_t grandchild = ::fork();
        if (grandchild == 0) {
            ::execve(argv[0], argv, environment);
            ::_exit(127);
        }
        ::_exit(grandchild < 0 ? 1 : 0);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) return false;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace platform
