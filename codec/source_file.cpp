// An open source file, the checks that it is still the file that was opened,
// and the reason the last failed call of this thread gives (matLastError).
#include <string>
#include <utility>

#include "codec/mat_internal.h"
#include "os/file_io.h"
#include "os/staged_file.h"

namespace matlib {

SourceFile::~SourceFile() {
    if (stream != nullptr) platform::FileSystem().close(stream);
}

namespace {

thread_local const char* lastError = nullptr;
thread_local std::string lastErrorText;   // a reason made at run time

}  // namespace

void SetLastError(const char* reason) { lastError = reason; }

void SetLastErrorText(std::string reason) {
    lastErrorText = std::move(reason);
    lastError = lastErrorText.c_str();
}

const char* const kCancelledReason = platform::kStagedCancelled;
const char* const kNotNamedReason = platform::kStagedNotNamed;
const char* const kReaderKilledReason =
    "the version 7.3 reader stopped: its worker program was killed (SIGKILL, from outside), twice";
const char* const kReaderSilentReason = "the version 7.3 reader stopped: its worker program stopped answering, twice";
const char* const kWriterKilledReason =
    "the version 7.3 worker program was killed (SIGKILL, from outside); the file was left as it was";
const char* const kWriterSilentReason = "the version 7.3 worker program stopped answering; the file was left as it was";
const char* const kWriterCrashedReason = "the version 7.3 worker program ended (it crashed); the file was left as it was";

bool SourceUnchanged(const SourceFile& source) {
    platform::FileStatus now;
    if (source.stream == nullptr || platform::FileSystem().fileStatus(source.stream, &now) != 0) return false;
    if (platform::SameFileUnchanged(now, source.opened)) return true;
    SetLastError("the file was changed by another program since it was opened");
    return false;
}

}  // namespace matlib

using namespace matlib;

const char* matLastError(void) { return lastError; }
int matLastWasCancelled(void) { return lastError == kCancelledReason ? 1 : 0; }
int matLastWasNotNamed(void) { return lastError == kNotNamedReason ? 1 : 0; }
int matLastWasReaderStopped(void) {
    return lastError == kReaderKilledReason || lastError == kReaderSilentReason ? 1 : 0;
}
int matLastWasWriterLost(void) {
    return lastError == kWriterKilledReason || lastError == kWriterSilentReason || lastError == kWriterCrashedReason ? 1
                                                                                                                    : 0;
}
