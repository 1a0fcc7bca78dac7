#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <ctime>

#include "os/diagnostics.h"

namespace platform {

void WriteToStandardOutput(const char* text, size_t length) {
    // The signal is blocked in this thread only; a SIGPIPE that the write
    // raises stays pending for this thread and is taken out of the queue
    // below, unless one was pending already (then it is the host's own).
    sigset_t pipeOnly, previous, pending;
    sigemptyset(&pipeOnly);
    sigaddset(&pipeOnly, SIGPIPE);
    if (pthread_sigmask(SIG_BLOCK, &pipeOnly, &previous) != 0) return;   // unprotected: no write
    const bool pendingBefore = sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
    std::fwrite(text, 1, length, stdout);
    std::fflush(stdout);
    if (!pendingBefore && sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1) {
        const timespec noWait{0, 0};
        sigtimedwait(&pipeOnly, nullptr, &noWait);
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

}  // namespace platform
