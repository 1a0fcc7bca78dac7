// An open source file, the checks that it is still the file that was opened,
// and the reason the last failed call of this thread gives (matLastError).
#include <string>
#include <string_view>
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
thread_local bool lastWasRefusal = false;
thread_local std::string lastErrorText;   // a reason made at run time

}  // namespace

void SetLastError(const char* reason) {
    lastError = reason;
    lastWasRefusal = false;
}

void SetLastErrorText(std::string reason) {
    lastErrorText = std::move(reason);
    lastError = lastErrorText.c_str();
    lastWasRefusal = false;
}

void MarkLastErrorRefusal() { lastWasRefusal = true; }

const char* const kCancelledReason = platform::kStagedCancelled;
const char* const kNotNamedReason = platform::kStagedNotNamed;
const char* const kReaderKilledReason =
    "the version 7.3 reader stopped: its worker program was killed (SIGKILL, from outside), twice";
const char* const kReaderSilentReason = "the version 7.3 reader stopped: its worker program stopped answering, twice";
const char* const kWriterKilledReason =
    "the version 7.3 worker program was killed (SIGKILL, from outside); the file was left as it was";
const char* const kWriterSilentReason = "the version 7.3 worker program stopped answering; the file was left as it was";
const char* const kWriterCrashedReason = "the version 7.3 worker program ended (it crashed); the file was left as it was";
const char* const kObjectsApartTargetReason =
    "it holds objects of a version 7.3 file, and this file holds objects of its own: merging them is not available yet";
const char* const kObjectsApartSourceReason =
    "it holds objects, and so does a variable added from another file, one of them from a version 7.3 file: merging "
    "them is not available yet";
const char* const kObjectsApartCopiedReason =
    "it holds objects (string, table, datetime, classdef objects or function handles), and so does the file: merging "
    "their subsystem data is not available yet";

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
// The writer of version 7.3 files names the variable before its reason.
int matLastWasObjectsApart(void) {
    if (lastError == nullptr) return 0;
    const std::string_view last = lastError;
    for (const char* reason : {kObjectsApartTargetReason, kObjectsApartSourceReason, kObjectsApartCopiedReason}) {
        if (last.ends_with(reason)) return 1;
    }
    return 0;
}
int matLastWasRefused(void) { return lastWasRefusal ? 1 : 0; }
int matLastWasWriterLost(void) {
    return lastError == kWriterKilledReason || lastError == kWriterSilentReason || lastError == kWriterCrashedReason ? 1
                                                                                                                    : 0;
}
