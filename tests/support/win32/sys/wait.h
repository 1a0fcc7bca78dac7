// The Windows test build's stand-in for <sys/wait.h>: there std::system
// returns the command's exit status itself (or -1 when it could not run).
#pragma once

#define WIFEXITED(status) ((status) != -1)
#define WEXITSTATUS(status) (status)
