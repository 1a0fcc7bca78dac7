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

FILE* Open(const char* path, const char* mode) {
    if (ShouldFail(Call::Open)) { errno = EACCES; return nullptr; }
    return plan.saved.open(path, mode);
}
size_t Read(void* buffer, size_t size, FILE* file) {
    if (ShouldFail(Call::Read)) { errno = EIO; return 0; }
    return plan.saved.read(buffer, size, file);
}
size_t ReadAt(FILE* file, uint64_t offset, void* buffer, size_t size) {
    if (ShouldFail(Call::ReadAt)) { errno = EIO; return 0; }
    return plan.saved.readAt(file, offset, buffer, size);
}
// As on a full disk: part of the bytes go in, then no more.
size_t Write(const void* buffer, size_t size, FILE* file) {
    if (ShouldFail(Call::Write)) {
        const size_t part = plan.saved.write(buffer, size / 2, file);
        errno = ENOSPC;
        return part;
    }
    return plan.saved.write(buffer, size, file);
}
int Seek(FILE* file, int64_t offset, int whence) {
    if (ShouldFail(Call::Seek)) { errno = EIO; return -1; }
    return plan.saved.seek(file, offset, whence);
}
int64_t Tell(FILE* file) {
    if (ShouldFail(Call::Tell)) { errno = EIO; return -1; }
    return plan.saved.tell(file);
}
int Flush(FILE* file) {
    if (ShouldFail(Call::Flush)) { errno = ENOSPC; return EOF; }
    return plan.saved.flush(file);
}
int Sync(FILE* file) {
    if (ShouldFail(Call::Sync)) { errno = EIO; return -1; }
    return plan.saved.sync(file);
}
// A failed close still releases the stream, as fclose does.
int Close(FILE* file) {
    const bool fail = ShouldFail(Call::Close);
    const int result = plan.saved.close(file);
    if (fail) { errno = EIO; return EOF; }
    return result;
}
int Status(const char* path, platform::FileStatus* out) {
    if (ShouldFail(Call::Status)) { errno = EACCES; return -1; }
    return plan.saved.status(path, out);
}
int FileStatusOf(FILE* file, platform::FileStatus* out) {
    if (ShouldFail(Call::FileStatus)) { errno = EIO; return -1; }
    return plan.saved.fileStatus(file, out);
}
int SetMode(const char* path, unsigned mode) {
    if (ShouldFail(Call::SetMode)) { errno = EPERM; return -1; }
    return plan.saved.setMode(path, mode);
}
int Replace(const char* from, const char* to) {
    if (ShouldFail(Call::Replace)) { errno = EXDEV; return -1; }
    return plan.saved.replace(from, to);
}
int Remove(const char* path) {
    if (ShouldFail(Call::Remove)) { errno = EACCES; return -1; }
    return plan.saved.remove(path);
}
int SyncDirectoryOf(const char* path) {
    if (ShouldFail(Call::SyncDirectory)) { errno = EINVAL; return -1; }
    return plan.saved.syncDirectoryOf(path);
}
FILE* CreateBeside(const char* path, char* tempPath, size_t tempPathSize) {
    if (ShouldFail(Call::CreateBeside)) { errno = ENOSPC; return nullptr; }
    return plan.saved.createBeside(path, tempPath, tempPathSize);
}
FILE* CreatePrivateBeside(const char* path, char* tempPath, size_t tempPathSize) {
    if (ShouldFail(Call::CreateBeside)) { errno = ENOSPC; return nullptr; }
    return plan.saved.createPrivateBeside(path, tempPath, tempPathSize);
}

int Resolve(const char* path, char* resolved, size_t resolvedSize) {
    if (ShouldFail(Call::Resolve)) { errno = EIO; return -1; }
    return plan.saved.resolve(path, resolved, resolvedSize);
}

// As a copy that stops part way: some bytes copied, then an error.
uint64_t CopyRange(FILE* from, uint64_t offset, FILE* to, uint64_t size) {
    if (ShouldFail(Call::CopyRange)) {
        const uint64_t part = plan.saved.copyRange(from, offset, to, size / 2);
        errno = EIO;
        return part;
    }
    return plan.saved.copyRange(from, offset, to, size);
}

int LinkStatus(const char* path, platform::FileStatus* out) {
    if (ShouldFail(Call::LinkStatus)) { errno = EACCES; return -1; }
    return plan.saved.linkStatus(path, out);
}
int Lock(FILE* file) {
    if (ShouldFail(Call::Lock)) { errno = EIO; return -1; }
    return plan.saved.lock(file);
}
int MayWrite(const char* path) {
    if (ShouldFail(Call::MayWrite)) { errno = EACCES; return -1; }
    return plan.saved.mayWrite(path);
}
int CopyAttributes(FILE* from, FILE* to) {
    if (ShouldFail(Call::CopyAttributes)) { errno = EPERM; return -1; }
    return plan.saved.copyAttributes(from, to);
}
FILE* CreateUnnamedBeside(const char* path, bool ownerOnly) {
    if (ShouldFail(Call::CreateUnnamed)) { errno = EOPNOTSUPP; return nullptr; }
    return plan.saved.createUnnamedBeside(path, ownerOnly);
}
int LinkIn(FILE* file, const char* path, char* tempPath, size_t tempPathSize) {
    if (ShouldFail(Call::LinkIn)) { errno = ENOSPC; tempPath[0] = '\0'; return -1; }
    return plan.saved.linkIn(file, path, tempPath, tempPathSize);
}

}  // namespace

const char* CallName(Call call) {
    switch (call) {
        case Call::Any: return "any";
        case Call::Open: return "open";
        case Call::Read: return "read";
        case Call::Write: return "write";
        case Call::Seek: return "seek";
        case Call::Tell: return "tell";
        case Call::Flush: return "flush";
        case Call::Sync: return "sync";
        case Call::Close: return "close";
        case Call::Status: return "status";
        case Call::FileStatus: return "fileStatus";
        case Call::SetMode: return "setMode";
        case Call::Replace: return "replace";
        case Call::Remove: return "remove";
        case Call::SyncDirectory: return "syncDirectory";
        case Call::CreateBeside: return "createBeside";
        case Call::Resolve: return "resolve";
        case Call::CopyRange: return "copyRange";
        case Call::LinkStatus: return "linkStatus";
        case Call::Lock: return "lock";
        case Call::MayWrite: return "mayWrite";
        case Call::CopyAttributes: return "copyAttributes";
        case Call::CreateUnnamed: return "createUnnamed";
        case Call::LinkIn: return "linkIn";
        case Call::ReadAt: return "readAt";
    }
    return "?";
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
