// Makes the engine's file I/O fail on purpose: while a FaultInjector lives,
// the N-th call (counted from 1) of one kind of call, or of any kind, fails
// once or for good, the way the system would fail it (a short write as on a
// full disk, a failed rename ...). The real calls come back when it goes.
//
//   for (long n = 1;; ++n) {
//       faults::FaultInjector fault(faults::Call::Any, n);
//       const int result = DoTheDeletion();
//       ... the original is byte-identical unless result == 0 ...
//       if (!fault.Fired()) break;   // the operation made fewer than n calls
//   }
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace faults {

enum class Call {
    Any, Open, Read, Write, Seek, Tell, Flush, Sync, Close, Status, FileStatus, SetMode,
    Replace, Remove, SyncDirectory,
    CreateBeside,   // createBeside and createPrivateBeside
    Resolve,
    CopyRange,      // the system's own copy; its failure leaves the rest to the plain copy
    LinkStatus, Lock, MayWrite, CopyAttributes,
    CreateUnnamed,  // its failure leaves the file to a named temporary
    LinkIn,
    ReadAt,         // a read at an offset, without the stream's position
    NativeRead, NativeWrite, NativeResize, NativeSize,   // on a file as the system names it
    MakeDirectory,
    PlaceNew, ListFolder, RemoveFolder, SameFile,
    // The system calls that the entries above are made of.
    CreateNew, ChangeOwner, ChangeMode, ListAttributes, GetAttribute, SetAttribute,
    OpenFolder, NativeSync, NativeClose, ShareRecords, LockWhole, NameOpenFile, NativeCopy,
    MapView,        // a scratch file mapped for reading
};
inline constexpr Call kLastCall = Call::MapView;

const char* CallName(Call call);

enum class Persistence { Once, ForGood };

class FaultInjector {
public:
    // n <= 0 only counts calls and fails none.
    FaultInjector(Call kind, long n, Persistence persistence = Persistence::Once);
    ~FaultInjector();
    FaultInjector(const FaultInjector&) = delete;
    FaultInjector& operator=(const FaultInjector&) = delete;

    bool Fired() const;    // a call was made to fail
};

// Runs `operation` (0: success) with the n-th call of each kind from Any to
// lastKind failing, once and for good, for n = 1, 2, ... until it makes
// fewer than n such calls, and then it must succeed. After each run
// `target` holds the old bytes (on failure) or the changed ones (an
// extraction that failed to read, 3, may leave a MAT-file without
// variables), and no temporary stays beside it unless removing failed too.
void ForEveryFailingCall(const std::string& target, const std::vector<uint8_t>& old, const std::vector<uint8_t>& changed,
                         const std::function<int()>& operation, Call lastKind = kLastCall);

}  // namespace faults
