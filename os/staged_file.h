// The one way a new file is put in place: written beside its final path and
// renamed over it, so that whoever looks at the path sees either the old
// file or the whole new one, never a mixture. The MAT-file writers, the
// exports and the settings file all go through it; every call goes through
// FileSystem(), so the fault loops reach each step.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>

#include "os/file_io.h"

namespace platform {

// Bytes moved per read when copying between files: big variables are copied
// in pieces of this size, never held whole.
inline constexpr size_t kCopyBufferSize = 1024 * 1024;

// The most a copy inside the system moves between two progress reports.
inline constexpr uint64_t kProgressStep = 64ull * 1024 * 1024;

// Told of `bytes` more written of `total` (0 when not known); 0 back cancels.
using StagedProgressFn = int (*)(void* context, uint64_t bytes, uint64_t total);

// Why a staged file failed, where a step knows more than "the system said
// no". One object each: callers may compare the pointers.
extern const char kStagedCancelled[];
extern const char kStagedNotNamed[];
extern const char kStagedChanged[];
extern const char kStagedNameTaken[];

struct StagedFile {
    char finalPath[kMaxTempPath] = {};
    char tempPath[kMaxTempPath] = {};
    FILE* stream = nullptr;     // the temporary file, open until commit or discard
    uint64_t written = 0;       // bytes written so far
    bool broken = false;        // a write failed: the file must not be committed
    bool keepMode = false;      // give the new file `mode` before it goes in place
    unsigned mode = 0;
    bool unnamed = false;       // made without a name; linked in by the commit
    // When set, the commit replaces the final path only while it still
    // names this file, unchanged: checked right before the rename.
    const FileStatus* expectedTarget = nullptr;
    // What the failure says when expectedTarget was changed.
    const char* changedReason = kStagedChanged;
    // When set, nothing at the final path is replaced: the commit takes the
    // first free name of it (" (2)", " (3)" ... before its extension), and
    // finalPath becomes that name.
    bool keepExisting = false;
    bool committed = false;     // in place, under finalPath
    // When set, the commit puts the file in place only where nothing is at
    // the final path: the move itself fails when the name is taken.
    bool mustBeNew = false;
    std::unique_ptr<uint8_t[]> copyBuffer;   // kCopyBufferSize bytes, made on first copy
    StagedProgressFn progress = nullptr;     // told of the bytes written; 0 back cancels
    void* progressContext = nullptr;
    uint64_t expectedSize = 0;               // what the file will come to, 0 when not known
    // The reason of the failure, where one of the texts above says it better
    // than the system's error; null otherwise. It travels with the file.
    const char* failure = nullptr;
    ~StagedFile();              // discards the temporary file unless committed

    // Creates the temporary file in the folder of finalPath: without a name where
    // the system can (a process killed while writing leaves nothing behind),
    // else under a temporary name. With followLink a symbolic link at finalPath
    // leads to the file that is replaced; without, the name itself is replaced.
    // With keepMode the file is readable by its owner alone until
    // Commit gives it `mode`. False when the path does not fit or the
    // file cannot be created.
    bool Create(const char* finalPath, bool followLink, bool keepMode, unsigned mode);

    // Appends bytes; false (and the file broken) when not all were written.
    bool Write(const void* data, size_t size);

    // Appends `size` bytes of `source` from `offset`: inside the system where it
    // can, otherwise in pieces of kCopyBufferSize. False when they cannot all be
    // read or written; the file is broken when anything was written.
    bool Copy(FILE* source, uint64_t offset, uint64_t size);

    // The file was written up to `size` bytes by another process or through its
    // stream directly: counts the bytes beyond those already counted and reports
    // them. False, and the file broken, when the progress function cancels.
    bool WrittenTo(uint64_t size);

    // Empties the file, to be written again from its start (its progress is
    // reported again). False, and the file broken, when it cannot be emptied.
    bool Rewind();

    // The file is complete at what was written: its expected size becomes that,
    // and the progress function hears so (a last chance to cancel). False, and
    // the file broken, when it cancels.
    bool Complete();

    // Puts the file in place: flush, sync, name, close, permission bits, the
    // check of expectedTarget, rename over the final path (or, keepExisting, to
    // its first free name), sync of the folder. 0 on success. On failure the
    // final path is as it was and the temporary file is gone.
    int Commit();

    // Closes and removes the temporary file (nothing when there is none).
    void Discard();
};

}  // namespace platform
