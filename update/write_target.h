// Where a rewrite or a new file puts its variables: a write target. Every
// writer of MAT-files drives one the same way, so that deletion, addition,
// conversion and new files are one loop:
//   Keep or Drop each variable of the old file, in order (a new file has none),
//   Add each added variable where it goes (in place of a dropped one, or after),
//   Carry the subsystem data that the added variables refer to, once,
//   Finish.
// A level-5 target writes here, into a staged file; a version 7.3 target
// hands its variables to a worker that writes the staged file with libhdf5.
#pragma once

#include <bit>
#include <cstdint>
#include <ctime>
#include <memory>

#include "codec/mat_format.h"
#include "codec/mat_internal.h"
#include "matlib/mat_internal.h"
#include "update/subsystem_merge.h"

namespace platform {
struct StagedFile;
}

namespace matlib {

using platform::StagedFile;   // os/staged_file.h

// The subsystem data (the values of objects) that added variables refer to:
// a level-5 file's element copied as it stands, converted from a version
// 7.3 file by its worker (through one of its arrays), or the subsystem data
// of several level-5 files (the target's own among them) merged into one.
struct CarriedSubsystem {
    std::shared_ptr<SourceFile> source;   // a level-5 element: its file, offset and size
    uint64_t offset = 0, size = 0;
    bool compressed = false;              // its element is a compressed one
    bool converted = false;               // converted through `from`
    mxArray from;
    // Merged: the unnamed variable's uint8 data, and how the objects of each
    // file that joined it are renumbered (the first file's stay as they were).
    bool merged = false;
    bool replacesTargetOwn = false;       // the target's own subsystem data is part of it
    std::vector<uint8_t> payload;
    struct Joined {
        std::shared_ptr<SourceFile> source;
        uint64_t offset = 0, size = 0;
        ObjectRenumbering renumbering;
    };
    std::vector<Joined> joined;
    bool Empty() const { return !source && !converted && !merged; }
    // Into a version 7.3 file: the version 7.3 file whose #subsystem# the
    // worker copies with its variables (objects of no other file may join),
    // and whether it holds one (asked only once another file's objects come).
    std::shared_ptr<SourceFile> copiedWithV73;
    bool copiedAsked = false, copiedHoldsObjects = false;
    // Whether the target holds objects of its own (asked once, and only
    // once an added array brings objects).
    bool targetAsked = false, targetHoldsObjects = false;
    // How the objects of the array's file are renumbered; null: not at all.
    const ObjectRenumbering* RenumberingOf(const mxArray& array) const;
};

// Notes in `carried` the subsystem data an added array needs: its file's,
// merged with what is carried already (and with the target's own, where
// `targetOwn` is the target file and it holds subsystem data) when they
// differ. Objects of version 7.3 files do not merge with others: refused
// with the reason for matLastError. `objects`: a converted array refers to
// objects (its reader's plan said so). With `carryWhenCostly`, data that
// only a whole walk could show unneeded (a large compressed struct or cell)
// is carried without asking: MATLAB ignores objects that no variable uses.
// False when refused.
bool NoteCarried(CarriedSubsystem& carried, const mxArray& array, bool objects,
                 const std::shared_ptr<SourceFile>& targetOwn, bool carryWhenCostly);

// The same into a version 7.3 file (`target`: the file rewritten, null for
// a new one): a level-5 array's objects bring their file's subsystem data
// (merged after the target's own #subsystem# when it has one), which the
// worker writes as the file's #subsystem#; it must be of MATLAB's form.
// Version 7.3 arrays bring their own file's, copied by the worker. False
// when refused.
bool NoteCarriedInto73(CarriedSubsystem& carried, const mxArray& array, const std::shared_ptr<SourceFile>& target,
                       bool carryWhenCostly);

class WriteTarget {
public:
    virtual ~WriteTarget() = default;
    virtual bool Keep(size_t entry) = 0;   // a variable of the old file stays as it stands
    virtual bool Drop(size_t entry) = 0;   // ... or goes
    // With a renumbering, the array's object references change by it.
    virtual bool Add(const mxArray& array, const ObjectRenumbering* renumbering = nullptr) = 0;
    virtual bool Carry(const CarriedSubsystem& carried) = 0;
    virtual bool Finish() = 0;   // the staged file then holds everything; the caller puts it in place
    // Why the array cannot be added to this target, or null when it can
    // (asked before anything of it is written).
    virtual const char* Refusal(const mxArray& array) const = 0;
};

// The same question before a target is made: into a level-5 file of that
// byte order (orderKnown false: a new file whose first array sets it), or
// into a version 7.3 file.
const char* Level5Refusal(const mxArray& array, bool bigEndian, bool orderKnown);
const char* V73Refusal(const mxArray& array);

struct Level5Options {
    bool bigEndian = std::endian::native == std::endian::big;   // a new file's, until an array copied sets it
    bool compressMade = false;        // elements made here (encoded from their values) are compressed
    bool compressCopies = false;      // elements copied from level-5 files compressed when they are not
    bool compressConverted = true;    // version 7.3 arrays converted by their worker compressed
};

// A level-5 file: the old file's header and bytes kept around the changes
// (old: a rewrite), or a new file whose header takes the byte order of the
// first array copied into it (old null; header written at the first Add).
std::unique_ptr<WriteTarget> Level5Target(StagedFile* file, const MATFile* old, const Level5Options& options);

// A version 7.3 file behind `userBlock`. A rewrite (old) copies the variables
// that stay with the old file's own links, then the added ones; a new file
// takes each added array as it comes. With `wholeCopy` a new file is the copy
// of one version 7.3 variable, nothing else.
std::unique_ptr<WriteTarget> V73Target(StagedFile* file, const MATFile* old,
                                       const uint8_t userBlock[format::kV73UserBlockSize], bool wholeCopy = false);

// The user block of a new version 7.3 file: MATLAB's header text with the
// HDF5 schema it writes, version 0x0200, little-endian.
void BuildHeader73(uint8_t header[format::kHeaderSize], std::time_t now);

}  // namespace matlib
