#include "support/fault_injection.h"

#include <cerrno>
#include <stdexcept>

#include "platform/file_io.h"

namespace faults {
namespace {

struct Plan {
    bool active = false;
    Call kind = Call::Any;
    long failAt = 0;
    Persistence persistence = Persistence::Once;
    long calls = 0;
    bool fired = false;
    platform::FileSystemCalls saved{};
};
Plan plan;

// Counts a call of `kind`; true when it is to fail.
bool ShouldFail(Call kind) {
    if (plan.kind != Call::Any && plan.kind != kind) return false;
    ++plan.calls;
    if (plan.failAt <= 0) return false;
    const bool fail = plan.persistence == Persistence::Once ? plan.calls == plan.failAt : plan.calls >= plan.failAt;
    if (fail) plan.fired = true;
    return fail;
}

// The failure as the system reports it: errno set, the failing value returned.
template <typename T>
T Fail(int error, T value) {
    errno = error;
    return value;
}

FILE* Open(const char* path, const char* mode) {
    return ShouldFail(Call::Open) ? Fail<FILE*>(EACCES, nullptr) : plan.saved.open(path, mode);
}
size_t Read(void* buffer, size_t size, FILE* file) {
    return ShouldFail(Call::Read) ? Fail<size_t>(EIO, 0) : plan.saved.read(buffer, size, file);
}
size_t ReadAt(FILE* file, uint64_t offset, void* buffer, size_t size) {
    return ShouldFail(Call::ReadAt) ? Fail<size_t>(EIO, 0) : plan.saved.readAt(file, offset, buffer, size);
}
// As on a full disk: part of the bytes go in, then no more.
size_t Write(const void* buffer, size_t size, FILE* file) {
    if (!ShouldFail(Call::Write)) return plan.saved.write(buffer, size, file);
    return Fail(ENOSPC, plan.saved.write(buffer, size / 2, file));
}
int Seek(FILE* file, int64_t offset, int whence) {
    return ShouldFail(Call::Seek) ? Fail(EIO, -1) : plan.saved.seek(file, offset, whence);
}
int64_t Tell(FILE* file) { return ShouldFail(Call::Tell) ? Fail<int64_t>(EIO, -1) : plan.saved.tell(file); }
int Flush(FILE* file) { return ShouldFail(Call::Flush) ? Fail(ENOSPC, EOF) : plan.saved.flush(file); }
int Sync(FILE* file) { return ShouldFail(Call::Sync) ? Fail(EIO, -1) : plan.saved.sync(file); }
// A failed close still releases the stream, as fclose does.
int Close(FILE* file) {
    const bool fail = ShouldFail(Call::Close);
    const int result = plan.saved.close(file);
    return fail ? Fail(EIO, EOF) : result;
}
int Status(const char* path, platform::FileStatus* out) {
    return ShouldFail(Call::Status) ? Fail(EACCES, -1) : plan.saved.status(path, out);
}
int FileStatusOf(FILE* file, platform::FileStatus* out) {
    return ShouldFail(Call::FileStatus) ? Fail(EIO, -1) : plan.saved.fileStatus(file, out);
}
int SetMode(const char* path, unsigned mode) {
    return ShouldFail(Call::SetMode) ? Fail(EPERM, -1) : plan.saved.setMode(path, mode);
}
int Replace(const char* from, const char* to) {
    return ShouldFail(Call::Replace) ? Fail(EXDEV, -1) : plan.saved.replace(from, to);
}
int Remove(const char* path) { return ShouldFail(Call::Remove) ? Fail(EACCES, -1) : plan.saved.remove(path); }
int SyncDirectoryOf(const char* path) {
    return ShouldFail(Call::SyncDirectory) ? Fail(EINVAL, -1) : plan.saved.syncDirectoryOf(path);
}
FILE* CreateBeside(const char* path, char* tempPath, size_t tempPathSize) {
    return ShouldFail(Call::CreateBeside) ? Fail<FILE*>(ENOSPC, nullptr) : plan.saved.createBeside(path, tempPath, tempPathSize);
}
FILE* CreatePrivateBeside(const char* path, char* tempPath, size_t tempPathSize) {
    return ShouldFail(Call::CreateBeside) ? Fail<FILE*>(ENOSPC, nullptr)
                                          : plan.saved.createPrivateBeside(path, tempPath, tempPathSize);
}
int Resolve(const char* path, char* resolved, size_t resolvedSize) {
    return ShouldFail(Call::Resolve) ? Fail(EIO, -1) : plan.saved.resolve(path, resolved, resolvedSize);
}
// As a copy that stops part way: some bytes copied, then an error.
uint64_t CopyRange(FILE* from, uint64_t offset, FILE* to, uint64_t size) {
    if (!ShouldFail(Call::CopyRange)) return plan.saved.copyRange(from, offset, to, size);
    return Fail(EIO, plan.saved.copyRange(from, offset, to, size / 2));
}
int LinkStatus(const char* path, platform::FileStatus* out) {
    return ShouldFail(Call::LinkStatus) ? Fail(EACCES, -1) : plan.saved.linkStatus(path, out);
}
int Lock(FILE* file) { return ShouldFail(Call::Lock) ? Fail(EIO, -1) : plan.saved.lock(file); }
int MayWrite(const char* path) { return ShouldFail(Call::MayWrite) ? Fail(EACCES, -1) : plan.saved.mayWrite(path); }
int CopyAttributes(FILE* from, FILE* to) {
    return ShouldFail(Call::CopyAttributes) ? Fail(EPERM, -1) : plan.saved.copyAttributes(from, to);
}
FILE* CreateUnnamedBeside(const char* path, bool ownerOnly) {
    return ShouldFail(Call::CreateUnnamed) ? Fail<FILE*>(EOPNOTSUPP, nullptr) : plan.saved.createUnnamedBeside(path, ownerOnly);
}
int LinkIn(FILE* file, const char* path, char* tempPath, size_t tempPathSize) {
    if (!ShouldFail(Call::LinkIn)) return plan.saved.linkIn(file, path, tempPath, tempPathSize);
    tempPath[0] = '\0';
    return Fail(ENOSPC, -1);
}

}  // namespace

const char* CallName(Call call) {
    static const char* const kNames[] = {"any", "open", "read", "write", "seek", "tell", "flush", "sync", "close",
                                         "status", "fileStatus", "setMode", "replace", "remove", "syncDirectory",
                                         "createBeside", "resolve", "copyRange", "linkStatus", "lock", "mayWrite",
                                         "copyAttributes", "createUnnamed", "linkIn", "readAt"};
    return kNames[static_cast<int>(call)];
}

FaultInjector::FaultInjector(Call kind, long n, Persistence persistence) {
    if (plan.active) throw std::logic_error("one FaultInjector at a time");
    plan = Plan{};
    plan.active = true;
    plan.kind = kind;
    plan.failAt = n;
    plan.persistence = persistence;
    platform::FileSystemCalls& calls = platform::FileSystem();
    plan.saved = calls;
    calls = {Open,   Read,   Write,        Seek,    Tell,   Flush,   Sync,         Close,
             Status, FileStatusOf, SetMode, Replace, Remove, SyncDirectoryOf, CreateBeside, Resolve,
             CreatePrivateBeside, CopyRange, LinkStatus, Lock, MayWrite, CopyAttributes,
             CreateUnnamedBeside, LinkIn, plan.saved.removeStaleTemporaries, ReadAt};
}

FaultInjector::~FaultInjector() {
    platform::FileSystem() = plan.saved;
    plan.active = false;
}

long FaultInjector::Calls() const { return plan.calls; }
bool FaultInjector::Fired() const { return plan.fired; }

}  // namespace faults
