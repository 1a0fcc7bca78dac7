#include "support/fault_injection.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <stdexcept>

#include "os/file_io.h"
#include "support/support.h"

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
#define FAIL_OR_CALL(kind, error, failed, call) (ShouldFail(Call::kind) ? Fail(error, failed) : plan.saved.call)

FILE* Open(const char* path, const char* mode) { return FAIL_OR_CALL(Open, EACCES, (FILE*)nullptr, open(path, mode)); }
size_t Read(void* buffer, size_t size, FILE* file) { return FAIL_OR_CALL(Read, EIO, size_t{0}, read(buffer, size, file)); }
size_t ReadAt(FILE* file, uint64_t offset, void* buffer, size_t size) {
    return FAIL_OR_CALL(ReadAt, EIO, size_t{0}, readAt(file, offset, buffer, size));
}
// As on a full disk: part of the bytes go in, then no more.
size_t Write(const void* buffer, size_t size, FILE* file) {
    return FAIL_OR_CALL(Write, ENOSPC, plan.saved.write(buffer, size / 2, file), write(buffer, size, file));
}
int Seek(FILE* file, int64_t offset, int whence) { return FAIL_OR_CALL(Seek, EIO, -1, seek(file, offset, whence)); }
int64_t Tell(FILE* file) { return FAIL_OR_CALL(Tell, EIO, int64_t{-1}, tell(file)); }
int Flush(FILE* file) { return FAIL_OR_CALL(Flush, ENOSPC, EOF, flush(file)); }
int Sync(FILE* file) { return FAIL_OR_CALL(Sync, EIO, -1, sync(file)); }
// A failed close still releases the stream, as fclose does.
int Close(FILE* file) {
    const bool fail = ShouldFail(Call::Close);
    const int result = plan.saved.close(file);
    return fail ? Fail(EIO, EOF) : result;
}
int Status(const char* path, platform::FileStatus* out) { return FAIL_OR_CALL(Status, EACCES, -1, status(path, out)); }
int FileStatusOf(FILE* file, platform::FileStatus* out) { return FAIL_OR_CALL(FileStatus, EIO, -1, fileStatus(file, out)); }
int SetMode(const char* path, unsigned mode) { return FAIL_OR_CALL(SetMode, EPERM, -1, setMode(path, mode)); }
int Replace(const char* from, const char* to) { return FAIL_OR_CALL(Replace, EXDEV, -1, replace(from, to)); }
int Remove(const char* path) { return FAIL_OR_CALL(Remove, EACCES, -1, remove(path)); }
int SyncDirectoryOf(const char* path) { return FAIL_OR_CALL(SyncDirectory, EINVAL, -1, syncDirectoryOf(path)); }
FILE* CreateBeside(const char* path, char* tempPath, size_t size) {
    return FAIL_OR_CALL(CreateBeside, ENOSPC, (FILE*)nullptr, createBeside(path, tempPath, size));
}
FILE* CreatePrivateBeside(const char* path, char* tempPath, size_t size) {
    return FAIL_OR_CALL(CreateBeside, ENOSPC, (FILE*)nullptr, createPrivateBeside(path, tempPath, size));
}
int Resolve(const char* path, char* resolved, size_t size) { return FAIL_OR_CALL(Resolve, EIO, -1, resolve(path, resolved, size)); }
// As a copy that stops part way: some bytes copied, then an error.
uint64_t CopyRange(FILE* from, uint64_t offset, FILE* to, uint64_t size) {
    return FAIL_OR_CALL(CopyRange, EIO, plan.saved.copyRange(from, offset, to, size / 2), copyRange(from, offset, to, size));
}
int LinkStatus(const char* path, platform::FileStatus* out) { return FAIL_OR_CALL(LinkStatus, EACCES, -1, linkStatus(path, out)); }
int Lock(FILE* file) { return FAIL_OR_CALL(Lock, EIO, -1, lock(file)); }
int MayWrite(const char* path) { return FAIL_OR_CALL(MayWrite, EACCES, -1, mayWrite(path)); }
int CopyAttributes(FILE* from, FILE* to) { return FAIL_OR_CALL(CopyAttributes, EPERM, -1, copyAttributes(from, to)); }
FILE* CreateUnnamedBeside(const char* path, bool ownerOnly) {
    return FAIL_OR_CALL(CreateUnnamed, EOPNOTSUPP, (FILE*)nullptr, createUnnamedBeside(path, ownerOnly));
}
int LinkIn(FILE* file, const char* path, char* tempPath, size_t size) {
    if (!ShouldFail(Call::LinkIn)) return plan.saved.linkIn(file, path, tempPath, size);
    tempPath[0] = '\0';
    return Fail(ENOSPC, -1);
}

int64_t NativeRead(platform::NativeFile file, uint64_t offset, void* buffer, size_t size) {
    return FAIL_OR_CALL(NativeRead, EIO, int64_t{-1}, readNativeAt(file, offset, buffer, size));
}
int64_t NativeWrite(platform::NativeFile file, uint64_t offset, const void* buffer, size_t size) {
    return FAIL_OR_CALL(NativeWrite, ENOSPC, int64_t{-1}, writeNativeAt(file, offset, buffer, size));
}
bool NativeResize(platform::NativeFile file, uint64_t size) { return FAIL_OR_CALL(NativeResize, EIO, false, resizeNative(file, size)); }
bool NativeSize(platform::NativeFile file, uint64_t& size) { return FAIL_OR_CALL(NativeSize, EIO, false, sizeOfNative(file, size)); }
int MakeDirectory(const char* path) { return FAIL_OR_CALL(MakeDirectory, EACCES, -1, makeDirectory(path)); }
int PlaceNew(const char* from, const char* to) { return FAIL_OR_CALL(PlaceNew, EIO, -1, placeNew(from, to)); }
int ListFolder(const char* path, std::vector<platform::FolderEntry>* entries) {
    return FAIL_OR_CALL(ListFolder, EACCES, -1, listFolder(path, entries));
}
int RemoveFolder(const char* path) { return FAIL_OR_CALL(RemoveFolder, EACCES, -1, removeFolder(path)); }
int SameFile(const char* a, const char* b) { return FAIL_OR_CALL(SameFile, EACCES, -1, sameFile(a, b)); }
FILE* CreateScratchBeside(const char* path) {
    return FAIL_OR_CALL(CreateUnnamed, ENOSPC, (FILE*)nullptr, createScratchBeside(path));
}
FILE* CreateNew(const char* path, bool ownerOnly) { return FAIL_OR_CALL(CreateNew, ENOSPC, (FILE*)nullptr, createNew(path, ownerOnly)); }
int ChangeOwner(FILE* file, int64_t owner, int64_t group) { return FAIL_OR_CALL(ChangeOwner, EIO, -1, changeOwner(file, owner, group)); }
int ChangeModeOf(FILE* file, unsigned mode) { return FAIL_OR_CALL(ChangeMode, EIO, -1, changeModeOf(file, mode)); }
int ListAttributes(FILE* file, std::string* names) { return FAIL_OR_CALL(ListAttributes, EIO, -1, listAttributes(file, names)); }
int GetAttribute(FILE* file, const char* name, std::string* value) {
    return FAIL_OR_CALL(GetAttribute, EIO, -1, getAttribute(file, name, value));
}
int SetAttribute(FILE* file, const char* name, const std::string& value) {
    return FAIL_OR_CALL(SetAttribute, ENOSPC, -1, setAttribute(file, name, value));
}
platform::NativeFile OpenFolder(const char* path) { return FAIL_OR_CALL(OpenFolder, EACCES, platform::kNoFile, openFolder(path)); }
int NativeSync(platform::NativeFile file) { return FAIL_OR_CALL(NativeSync, EIO, -1, syncNative(file)); }
int ShareRecords(FILE* file) { return FAIL_OR_CALL(ShareRecords, EIO, -1, shareRecords(file)); }
int LockWhole(FILE* file) { return FAIL_OR_CALL(LockWhole, EIO, -1, lockWhole(file)); }
int NameOpenFile(FILE* file, const char* path) { return FAIL_OR_CALL(NameOpenFile, ENOSPC, -1, nameOpenFile(file, path)); }
int64_t NativeCopy(platform::NativeFile from, int64_t* offset, platform::NativeFile to, size_t size) {
    return FAIL_OR_CALL(NativeCopy, EIO, int64_t{-1}, copyNativeRange(from, offset, to, size));
}
const uint8_t* MapView(FILE* file, uint64_t size) {
    return FAIL_OR_CALL(MapView, ENOMEM, (const uint8_t*)nullptr, mapForReading(file, size));
}
// As Close: the file is released even when the call fails.
int NativeClose(platform::NativeFile file) {
    const bool fail = ShouldFail(Call::NativeClose);
    const int result = plan.saved.closeNative(file);
    return fail ? Fail(EIO, -1) : result;
}

}  // namespace

const char* CallName(Call call) {
    static const char* const kNames[] = {"any", "open", "read", "write", "seek", "tell", "flush", "sync", "close",
                                         "status", "fileStatus", "setMode", "replace", "remove", "syncDirectory",
                                         "createBeside", "resolve", "copyRange", "linkStatus", "lock", "mayWrite",
                                         "copyAttributes", "createUnnamed", "linkIn", "readAt", "nativeRead",
                                         "nativeWrite", "nativeResize", "nativeSize", "makeDirectory", "placeNew",
                                         "listFolder", "removeFolder", "sameFile", "createNew", "changeOwner",
                                         "changeMode", "listAttributes", "getAttribute", "setAttribute", "openFolder",
                                         "nativeSync", "nativeClose", "shareRecords", "lockWhole", "nameOpenFile",
                                         "nativeCopy", "mapView"};
    static_assert(sizeof kNames / sizeof kNames[0] == static_cast<size_t>(kLastCall) + 1, "a name for every kind");
    return kNames[static_cast<int>(call)];
}

FaultInjector::FaultInjector(Call kind, long n, Persistence persistence) {
    if (plan.active) throw std::logic_error("one FaultInjector at a time");
    platform::FileSystemCalls& calls = platform::FileSystem();
    plan = Plan{true, kind, n, persistence, 0, false, calls};
    calls = {Open,   Read,   Write,        Seek,    Tell,   Flush,   Sync,         Close,
             Status, FileStatusOf, SetMode, Replace, Remove, SyncDirectoryOf, CreateBeside, Resolve,
             CreatePrivateBeside, CopyRange, LinkStatus, Lock, MayWrite, CopyAttributes,
             CreateUnnamedBeside, LinkIn, plan.saved.removeStaleTemporaries, ReadAt, PlaceNew,
             NativeRead, NativeWrite, NativeResize, NativeSize, MakeDirectory, plan.saved.startWriteback,
             plan.saved.startNativeWriteback, plan.saved.freeSpaceBeside, ListFolder, RemoveFolder, SameFile,
             CreateScratchBeside, CreateNew, ChangeOwner, ChangeModeOf, ListAttributes, GetAttribute, SetAttribute,
             OpenFolder, NativeSync, NativeClose, ShareRecords, LockWhole, NameOpenFile, NativeCopy, MapView,
             plan.saved.unmap};
}

FaultInjector::~FaultInjector() {
    platform::FileSystem() = plan.saved;
    plan.active = false;
}

bool FaultInjector::Fired() const { return plan.fired; }

void ForEveryFailingCall(const std::string& target, const std::vector<uint8_t>& old, const std::vector<uint8_t>& changed,
                         const std::function<int()>& operation, Call lastKind) {
    const std::string folder = target.substr(0, target.rfind('/'));
    for (int kind = static_cast<int>(Call::Any); kind <= static_cast<int>(lastKind); ++kind) {
        for (Persistence persistence : {Persistence::Once, Persistence::ForGood}) {
            for (long n = 1;; ++n) {
                const Call call = static_cast<Call>(kind);
                SCOPED_TRACE(std::string(CallName(call)) + " #" + std::to_string(n) + (persistence == Persistence::Once ? " once" : " for good"));
                matbuild::WriteFile(target, old);
                int result = 0;
                bool fired = false;
                {
                    FaultInjector fault(call, n, persistence);
                    result = operation();
                    fired = fault.Fired();
                }
                const std::vector<uint8_t> now = matbuild::ReadFile(target);
                // A system copy that stops short leaves the rest to the plain copy.
                if (call == Call::CopyRange || !fired) { EXPECT_EQ(result, 0); }
                if (result == 0) {
                    EXPECT_EQ(now, changed);
                } else if (result == 3) {
                    // Extraction closes its output even when the variable could not be
                    // read: a MAT-file without variables, or the old file when that close fails too.
                    EXPECT_TRUE(now == old || (now.size() == 128 && now[0] == 'M')) << now.size();
                } else {
                    EXPECT_EQ(now, old);
                }
                // Only when removing fails too may the temporary file stay.
                const std::vector<std::string> strays = support::StrayTemporaries(folder);
                for (const std::string& stray : strays) std::filesystem::remove(folder + "/" + stray);
                EXPECT_TRUE(strays.empty() || (call == Call::Any && persistence == Persistence::ForGood));
                if (!fired || ::testing::Test::HasFailure()) break;
                ASSERT_LT(n, 1000) << "no end to the calls";
            }
        }
    }
}

}  // namespace faults
