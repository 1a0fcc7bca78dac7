// The write targets (write_target.h): a level-5 file written here, and a
// version 7.3 file written by a worker; and which subsystem data goes along.
#include "update/write_target.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>
#include <vector>

#include "codec/element_writer.h"
#include "codec/mat_write_file.h"
#include "codec/readers.h"
#include "update/update.h"
#include "v73client/v73_reader.h"
#include "v73client/v73_writer.h"

namespace matlib {

namespace {

using namespace format;
using platform::FileSystem;

// Whether two files hold the same bytes there: variables extracted from one
// file each carry a copy of its subsystem data, and one copy serves them all.
bool SameBytes(SourceFile& a, uint64_t atA, uint64_t sizeA, SourceFile& b, uint64_t atB, uint64_t sizeB) {
    if (sizeA != sizeB) return false;
    constexpr size_t kPiece = 64 * 1024;
    const std::unique_ptr<uint8_t[]> left(new (std::nothrow) uint8_t[kPiece]), right(new (std::nothrow) uint8_t[kPiece]);
    if (!left || !right) return false;
    for (uint64_t done = 0; done < sizeA;) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(kPiece, sizeA - done));
        if (!ReadAt(a, atA + done, left.get(), n) || !ReadAt(b, atB + done, right.get(), n) ||
            std::memcmp(left.get(), right.get(), n) != 0) {
            return false;
        }
        done += n;
    }
    return true;
}

// Inflating a byte costs about what copying eight does (bench/objects_bench.sh:
// walking a 100 MB compressed struct took 8x the copy of 100 MB).
constexpr uint64_t kInflateToCopyCost = 8;

bool RefuseSecondSubsystem(bool targetHasOwn) {
    SetLastError(targetHasOwn ? kObjectsApartTargetReason : kObjectsApartSourceReason);
    return false;
}

// The subsystem data of a level-5 array's file when the array may refer to
// it: the unnamed variable the header points at (an offset that points at
// anything else names no data that could be carried).
bool SubsystemOfFile(const mxArray& array, bool carryWhenCostly, uint64_t* size, bool* compressed) {
    const std::shared_ptr<SourceFile>& source = array.source;
    if (array.format->layout != FileLayout::kLevel5 || source->subsystemOffset == 0 || IsSubsystemData(array)) return false;
    mxArray subsystem;
    uint64_t next = 0;
    if (ReadV5Header(source, source->subsystemOffset, subsystem, next) != HeaderStatus::Ok ||
        !subsystem.name.empty()) {
        return false;
    }
    *size = next - source->subsystemOffset;
    *compressed = subsystem.data.compressed;
    const uint8_t cls = array.fileClass;
    const bool container = cls == mxCELL || cls == mxSTRUCT || cls == mxOBJECT;
    const bool walkCostsMore = carryWhenCostly && container && array.data.compressed &&
                               array.data.elementEnd / kInflateToCopyCost > *size;
    return walkCostsMore || RefersToSubsystem(array);
}

// The size of a level-5 file's subsystem data element; 0 when unreadable.
uint64_t SubsystemSize(const std::shared_ptr<SourceFile>& file) {
    mxArray holder;
    uint64_t next = 0;
    if (ReadV5Header(file, file->subsystemOffset, holder, next) != HeaderStatus::Ok) return 0;
    return next - file->subsystemOffset;
}

uint64_t ReadOffset(const uint8_t* bytes, bool bigEndian) {
    uint64_t value = 0;
    for (int i = 0; i < 8; ++i) value |= static_cast<uint64_t>(bytes[bigEndian ? 7 - i : i]) << (8 * i);
    return value;
}

void WriteOffset(uint8_t* bytes, bool bigEndian, uint64_t value) {
    for (int i = 0; i < 8; ++i) bytes[bigEndian ? 7 - i : i] = static_cast<uint8_t>(value >> (8 * i));
}

// A level-5 array's element read whole (inflated), its object references
// renumbered; false with the reason.
bool ReadRenumbered(const mxArray& array, const ObjectRenumbering& renumbering, std::vector<uint8_t>& element) {
    if (array.data.elementEnd > kMaxDecodedSubsystemBytes) {
        SetLastError("its objects would need renumbering, and it is larger than 64 MB");
        return false;
    }
    element.resize(static_cast<size_t>(array.data.elementEnd));
    ElementStream stream(*array.source, array.data);
    std::string error;
    if (!stream.Read(0, element.data(), element.size()) || !stream.CheckEnd(array.data.elementEnd)) return false;
    if (RenumberObjects(element, array.source->swapped, false, renumbering, error)) return true;
    SetLastErrorText("its objects cannot join the others: " + error);
    return false;
}

// Whether a version 7.3 file holds objects (its #subsystem# can be
// converted: a walk of its headers).
bool HoldsV73Objects(const std::shared_ptr<SourceFile>& file) {
    mxArray holder;
    holder.source = file;
    holder.format = file->format;
    uint64_t bytes = 0;
    bool objects = false;
    return file->format->element->plan != nullptr && file->format->element->plan(holder, true, bytes, objects);
}

bool CopiedHoldsObjects(CarriedSubsystem& carried) {
    if (carried.copiedWithV73 && !carried.copiedAsked) carried.copiedHoldsObjects = HoldsV73Objects(carried.copiedWithV73);
    carried.copiedAsked = true;
    return carried.copiedWithV73 && carried.copiedHoldsObjects;
}

// A version 7.3 array copied into a version 7.3 file brings its file's
// #subsystem# when it may hold objects: no other added file's objects may
// meet it there. (The target's own #subsystem# comes only with its kept
// variables that may hold objects: the worker refuses the two meeting.)
bool NoteCopiedObjects(CarriedSubsystem& carried, const mxArray& array) {
    const mxClassID id = array.classId;
    const bool mayHold = id == mxCELL_CLASS || id == mxSTRUCT_CLASS || id == mxOBJECT_CLASS || id == mxOPAQUE_CLASS ||
                         id == mxFUNCTION_CLASS;
    if (!mayHold || carried.copiedWithV73 == array.source) return true;
    if (carried.Empty() && !carried.copiedWithV73) {
        carried.copiedWithV73 = array.source;   // asked only when another file's objects come
        return true;
    }
    if (!HoldsV73Objects(array.source)) return true;
    if (!carried.Empty() || CopiedHoldsObjects(carried)) return RefuseSecondSubsystem(false);
    carried.copiedWithV73 = array.source;
    carried.copiedAsked = carried.copiedHoldsObjects = true;
    return true;
}

// A file's subsystem data (its format's subsystemPayload) as a vector,
// which merging changes.
bool PayloadVector(const mxArray& holder, uint64_t most, std::vector<uint8_t>& out, const char*& reason) {
    HeldBytes held;
    if (!holder.format->subsystemPayload(holder, most, held, reason)) return false;
    out.assign(held.data(), held.data() + held.size());
    return true;
}

// The carried subsystem data as one payload (a level-5 file's unnamed
// variable's uint8 data), checked to be of MATLAB's form; false with the reason.
bool CarriedPayload(const CarriedSubsystem& carried, std::vector<uint8_t>& payload, bool& swapped, std::string& error) {
    if (carried.merged) {
        payload = carried.payload;
    } else {
        mxArray holder;
        holder.source = carried.source;
        const char* reason = nullptr;
        holder.format = carried.source ? carried.source->format : nullptr;
        if (!carried.source || !PayloadVector(holder, kMaxCarriedSubsystemBytes, payload, reason)) {
            error = reason != nullptr ? reason : "the subsystem data cannot be read";
            return false;
        }
    }
    return CheckSubsystemPayload(payload, swapped, error);
}

// A level-5 file. A rewrite copies the old file's bytes up to each variable
// that stays (its header and every byte between, as they stood) and skips
// each one that goes; the header's subsystem-data offset follows the data it
// pointed at, is cleared when that goes, and points at carried data.
class Level5FileTarget final : public WriteTarget {
public:
    Level5FileTarget(StagedFile* file, const MATFile* old, const Level5Options& options)
        : file_(file), old_(old), options_(options), bigEndian_(options.bigEndian) {}

    bool Begin() {
        if (old_ == nullptr) return true;
        const SourceFile& source = *old_->source;
        bigEndian_ = source.bigEndian;
        cursor_ = source.format->variablesStart;
        headerWritten_ = true;
        if (source.format->layout != FileLayout::kLevel5) return true;   // version 4: variables alone
        uint8_t header[kHeaderSize];
        if (FileSystem().seek(source.stream, 0, SEEK_SET) != 0 ||
            FileSystem().read(header, sizeof header, source.stream) != sizeof header) {
            return false;
        }
        NoteSubsystemOffset(header);
        return StagedWrite(file_, header, sizeof header);
    }

    // Kept bytes are copied in runs, at the next change.
    bool Keep(size_t entry) override {
        next_ = entry + 1;
        return true;
    }

    bool Drop(size_t entry) override {
        next_ = entry + 1;
        if (!CopyTo(old_->entries.Offset(entry))) return false;
        cursor_ = old_->entries.Offset(entry) + old_->entries.Size(entry);
        return true;
    }

    bool Add(const mxArray& array, const ObjectRenumbering* renumbering) override {
        // What the old file holds before the next variable comes first (after
        // its last variable: whatever followed that).
        if (old_ != nullptr) {
            const auto& entries = old_->entries;
            if (!CopyTo(next_ < entries.size() ? entries.Offset(next_) : old_->source->size)) return false;
        }
        // An array made in memory has no format: it is encoded from its values.
        static const ElementSource kEncoded = {ElementSource::kWritten, nullptr, nullptr, nullptr, nullptr};
        const ElementSource& from = array.format != nullptr ? *array.format->element : kEncoded;
        const bool copied = from.kind == ElementSource::kCopied && array.source;
        const bool converted = from.kind == ElementSource::kConverted;
        if (!EnsureHeader(copied ? array.source->bigEndian : converted ? false : bigEndian_)) return false;
        if (converted) return from.convert(array, false, options_.compressConverted, file_);
        if (copied && renumbering != nullptr) return WriteRenumbered(array, *renumbering);
        if (copied) return CopyElement(*array.source, array.elementOffset, array.elementSize, array.data.compressed);
        auto own = options_.compressMade ? from.writeCompressed : from.write;
        // An array added in a rewrite holds no values in memory: its own
        // writer streams it, uncompressed when it has no compressed one.
        if (own == nullptr && old_ != nullptr) own = from.write;
        if (own != nullptr && array.source) return own(&array, bigEndian_, file_);
        std::vector<uint8_t> element;
        if (!EncodeDecodedArray(&array, bigEndian_, &element)) return false;
        return options_.compressMade ? WriteCompressedBytes(file_, bigEndian_, element.data(), element.size())
                                     : StagedWrite(file_, element.data(), element.size());
    }

    bool Carry(const CarriedSubsystem& carried) override {
        if (old_ != nullptr && !CopyTo(old_->source->size)) return false;
        if (carried.Empty()) return true;
        carriedAt_ = file_->written;
        carries_ = true;
        if (carried.converted) return carried.from.format->element->convert(carried.from, true, options_.compressConverted, file_);
        if (carried.merged) return WriteSubsystem(carried.payload);
        return CopyElement(*carried.source, carried.offset, carried.size, carried.compressed);
    }

    bool Finish() override {
        if (old_ != nullptr && !CopyTo(old_->source->size)) return false;
        if (!EnsureHeader(bigEndian_)) return false;   // a file without variables is its header alone
        const bool hasHeader = old_ == nullptr || old_->source->format->layout == FileLayout::kLevel5;
        if (!hasHeader || (!move_.moves && !carries_)) return true;
        uint8_t field[8];
        if (move_.moves && !move_.found) std::memset(field, ' ', 8);   // its variable is gone
        if (move_.found) WriteOffset(field, bigEndian_, move_.now);
        if (carries_) WriteOffset(field, bigEndian_, carriedAt_);
        FILE* out = file_->stream;
        if (FileSystem().seek(out, static_cast<int64_t>(kSubsystemOffsetAt), SEEK_SET) != 0 ||
            FileSystem().write(field, sizeof field, out) != sizeof field || FileSystem().seek(out, 0, SEEK_END) != 0) {
            file_->broken = true;
            return false;
        }
        return true;
    }

    const char* Refusal(const mxArray& array) const override {
        if (old_ != nullptr && old_->source->format->layout != FileLayout::kLevel5) {
            return "variables are added to level-5 MAT-files (version 6 and 7) only; this one is version 4";
        }
        return Level5Refusal(array, bigEndian_, headerWritten_);
    }

private:
    // Where the old header's subsystem-data offset points. MATLAB writes
    // blanks where a file has none (other writers zeros); both mean none, and
    // an offset that points at nothing of the file is left as it stood.
    void NoteSubsystemOffset(const uint8_t header[kHeaderSize]) {
        const uint8_t* field = header + kSubsystemOffsetAt;
        const bool none = std::all_of(field, field + 8, [](uint8_t b) { return b == 0; }) ||
                          std::all_of(field, field + 8, [](uint8_t b) { return b == ' '; });
        if (none) return;
        move_.old = ReadOffset(field, bigEndian_);
        move_.moves = move_.old >= kHeaderSize && move_.old < old_->source->size;
    }

    // Copies the old file's bytes up to `to`, noting where the subsystem data lands.
    bool CopyTo(uint64_t to) {
        if (to <= cursor_) return true;
        if (move_.moves && move_.old >= cursor_ && move_.old < to) {
            move_.found = true;
            move_.now = file_->written + (move_.old - cursor_);
        }
        const uint64_t from = cursor_;
        cursor_ = to;
        return StagedCopy(file_, old_->source->stream, from, to - from);
    }

    bool EnsureHeader(bool bigEndian) {
        if (headerWritten_) return true;
        uint8_t header[kHeaderSize];
        BuildHeader5(header, bigEndian, std::time(nullptr));
        bigEndian_ = bigEndian;
        headerWritten_ = true;
        return StagedWrite(file_, header, sizeof header);
    }

    // A level-5 element exactly as it stood (compressed when asked and it is
    // not), padded to 8 bytes when its file left the padding off so that the
    // element after it stays aligned. It must lie within its file as
    // measured when opened, and the file be unchanged after the copy.
    bool CopyElement(const SourceFile& source, uint64_t offset, uint64_t size, bool compressed) {
        if (source.stream == nullptr || size < kTagSize || offset > source.size || size > source.size - offset) {
            return false;
        }
        const bool copied = options_.compressCopies && !compressed
                                ? WriteCompressedCopy(file_, bigEndian_, source.stream, offset, size)
                                : StagedCopy(file_, source.stream, offset, size) &&
                                      StagedWrite(file_, kZeroPadding, compressed ? 0 : PaddingAfter(size));
        // Bytes read from a file that another program rewrote meanwhile are no copy of anything.
        return copied && SourceUnchanged(source);
    }

    // A level-5 element whose objects join other subsystem data: read whole
    // (inflated), its references renumbered, written compressed as it stood.
    bool WriteRenumbered(const mxArray& array, const ObjectRenumbering& renumbering) {
        std::vector<uint8_t> element;
        if (!ReadRenumbered(array, renumbering, element)) return false;
        const bool written = array.data.compressed || options_.compressMade
                                 ? WriteCompressedBytes(file_, bigEndian_, element.data(), element.size())
                                 : StagedWrite(file_, element.data(), element.size()) &&
                                       StagedWrite(file_, kZeroPadding, PaddingAfter(element.size()));
        return written && SourceUnchanged(*array.source);
    }

    // Merged subsystem data: the unnamed uint8 variable that holds it.
    bool WriteSubsystem(const std::vector<uint8_t>& payload) {
        const bool swap = bigEndian_ != (std::endian::native == std::endian::big);
        std::vector<uint8_t> element;
        if (!EncodeSubsystemElement(payload, swap, element)) return false;
        return options_.compressMade ? WriteCompressedBytes(file_, bigEndian_, element.data(), element.size())
                                     : StagedWrite(file_, element.data(), element.size());
    }

    struct SubsystemMove {
        bool moves = false;
        uint64_t old = 0;
        bool found = false;   // its byte was copied, to `now`
        uint64_t now = 0;
    };

    StagedFile* file_;
    const MATFile* old_;
    Level5Options options_;
    bool bigEndian_;
    bool headerWritten_ = false;
    uint64_t cursor_ = 0;   // the old file's bytes are copied up to here
    size_t next_ = 0;       // the old file's first variable not yet kept or dropped
    SubsystemMove move_;
    bool carries_ = false;
    uint64_t carriedAt_ = 0;
};

// A version 7.3 file, written by a worker of its own. A rewrite copies the
// variables that stay (with what they refer to, and the old file's own soft
// and external links, also when none of its variables stays; what only the
// dropped ones used is not copied), then each added one converted (level 5,
// version 4) or copied (version 7.3) under its name.
class Version73Target final : public WriteTarget {
public:
    Version73Target(StagedFile* file, const MATFile* old, const uint8_t userBlock[kV73UserBlockSize], bool wholeCopy)
        : file_(file), old_(old), wholeCopy_(wholeCopy) {
        std::memcpy(userBlock_, userBlock, kV73UserBlockSize);
    }

    bool Keep(size_t entry) override {
        kept_.push_back(old_->entries.Offset(entry));   // its index among the variables
        return true;
    }
    bool Drop(size_t) override { return true; }

    bool Add(const mxArray& array, const ObjectRenumbering* renumbering) override {
        if (old_ != nullptr) {
            added_.push_back({&array, renumbering});   // after the kept ones, by Finish
            return true;
        }
        // A whole copy is the file of one variable.
        if (wholeCopy_ && anyAdded_) return false;
        anyAdded_ = true;
        return StartWriter() && Put(array, renumbering);
    }

    // The subsystem data of level-5 files (converted arrays do not come
    // here): a rewrite writes it after the added variables, by Finish.
    bool Carry(const CarriedSubsystem& carried) override {
        if (carried.Empty()) return true;
        std::string error;
        if (carried.converted || !CarriedPayload(carried, subsystem_, subsystemSwapped_, error)) return false;
        replacesOwn_ = carried.replacesTargetOwn;
        return old_ != nullptr || (StartWriter() && V73WriterSubsystem(writer_.get(), std::move(subsystem_), subsystemSwapped_));
    }

    bool Finish() override {
        if ((wholeCopy_ && !anyAdded_) || !StartWriter()) return false;
        if (old_ != nullptr && !V73WriterCopy(writer_.get(), old_->source, kept_, true, replacesOwn_)) return false;
        for (const auto& [array, renumbering] : added_) {
            if (!Put(*array, renumbering)) return false;
        }
        if (!subsystem_.empty() && !V73WriterSubsystem(writer_.get(), std::move(subsystem_), subsystemSwapped_)) {
            return false;
        }
        return FinishV73Writer(writer_.get());
    }

    const char* Refusal(const mxArray& array) const override { return V73Refusal(array); }

private:
    // A version 7.3 file without variables is still one: the writer starts
    // at the first variable, or at Finish when none came.
    bool StartWriter() {
        if (!writer_) writer_ = StartV73Writer(userBlock_, file_);
        return writer_ != nullptr;
    }
    // A level-5 array whose objects joined other files' goes renumbered.
    bool Put(const mxArray& array, const ObjectRenumbering* renumbering) {
        if (array.format->layout == FileLayout::kHdf5) return V73WriterCopy(writer_.get(), array.source, {array.elementOffset});
        if (renumbering == nullptr) return V73WriterAdd(writer_.get(), array);
        std::vector<uint8_t> element;
        return ReadRenumbered(array, *renumbering, element) &&
               V73WriterAddElement(writer_.get(), array.name, std::move(element), array.source->swapped);
    }

    StagedFile* file_;
    const MATFile* old_;
    uint8_t userBlock_[kV73UserBlockSize];
    bool wholeCopy_;
    bool anyAdded_ = false;
    std::vector<uint64_t> kept_;
    std::vector<std::pair<const mxArray*, const ObjectRenumbering*>> added_;
    std::vector<uint8_t> subsystem_;   // carried into a rewrite, written after the added variables
    bool subsystemSwapped_ = false;
    bool replacesOwn_ = false;         // it is the old file's own merged with the added ones
    V73WriterPtr writer_;
};

}  // namespace

const char* Level5Refusal(const mxArray& array, bool bigEndian, bool orderKnown) {
    if (array.format == nullptr) return nullptr;   // made in memory: encoded from its values
    const ElementSource::Kind kind = array.format->element->kind;
    if (kind == ElementSource::kConverted && orderKnown && bigEndian) {
        return "this file is big-endian; a variable converted from version 7.3 is written little-endian";
    }
    // Level-5 bytes keep their byte order: they cannot be copied into a file of the other.
    if (kind == ElementSource::kCopied && array.source && orderKnown && array.source->bigEndian != bigEndian) {
        return "its file has the other byte order than this one";
    }
    return nullptr;
}

const char* V73Refusal(const mxArray& array) {
    if (array.format != nullptr && array.format->layout == FileLayout::kHdf5) return nullptr;
    if (array.format == nullptr || !array.source || array.format->element->kind == ElementSource::kConverted) {
        return "it cannot be written into a version 7.3 file";
    }
    // A version 7.3 file keeps objects' values with the variables that hold them, in #subsystem#.
    if (array.format->layout == FileLayout::kLevel5 && IsSubsystemData(array)) {
        return "it is the file's subsystem data (the values of its objects), which a version 7.3 file keeps only "
               "with the variables that hold objects";
    }
    return V73AdditionRefusal(array);
}

const ObjectRenumbering* CarriedSubsystem::RenumberingOf(const mxArray& array) const {
    if (!merged || !array.source) return nullptr;
    for (const Joined& j : joined) {
        if (j.source && (j.source == array.source ||
                         (j.source->path == array.source->path && j.offset == array.source->subsystemOffset))) {
            return j.renumbering.Identity() ? nullptr : &j.renumbering;
        }
    }
    return nullptr;
}

namespace {

bool NoteCarriedData(CarriedSubsystem& carried, const mxArray& array, bool objects,
                     const std::shared_ptr<SourceFile>& targetOwn, bool carryWhenCostly) {
    if (array.format == nullptr) return true;
    if (array.format->element->kind == ElementSource::kConverted) {
        if (!objects) return true;
        if (targetOwn) return RefuseSecondSubsystem(true);
        const bool same = carried.converted &&
                          (carried.from.source == array.source || carried.from.source->path == array.source->path);
        if (carried.source || carried.merged || (carried.converted && !same)) return RefuseSecondSubsystem(false);
        uint64_t bytes = 0;
        bool ignored = false;
        if (!array.format->element->plan(array, true, bytes, ignored)) {
            SetLastError("it holds objects whose values (its file's subsystem data) cannot be converted");
            return false;
        }
        if (!carried.converted) {
            carried.from = array;
            carried.from.decoded = DecodedData{};
            carried.converted = true;
        }
        return true;
    }
    uint64_t size = 0;
    bool compressed = false;
    if (!array.source || !SubsystemOfFile(array, carryWhenCostly, &size, &compressed)) return true;
    if (carried.converted) return RefuseSecondSubsystem(false);
    SourceFile& source = *array.source;
    auto sameAs = [&](const std::shared_ptr<SourceFile>& other, uint64_t offset, uint64_t otherSize) {
        return other == array.source || (other->path == source.path && offset == source.subsystemOffset) ||
               SameBytes(*other, offset, otherSize, source, source.subsystemOffset, size);
    };
    if (!targetOwn && !carried.merged) {
        if (!carried.source) {
            carried.source = array.source;
            carried.offset = source.subsystemOffset;
            carried.size = size;
            carried.compressed = compressed;
            return true;
        }
        if (sameAs(carried.source, carried.offset, carried.size)) return true;
    }
    if (targetOwn && !carried.merged && sameAs(targetOwn, targetOwn->subsystemOffset, SubsystemSize(targetOwn))) return true;
    for (const CarriedSubsystem::Joined& j : carried.joined) {
        if (sameAs(j.source, j.offset, j.size)) {
            // Another copy of a file that joined: its objects are numbered as that file's.
            carried.joined.push_back({array.source, source.subsystemOffset, size, j.renumbering});
            return true;
        }
    }
    // Two files' objects: their subsystem data merged into one. The first
    // (the target's own, else the first carried) keeps its numbering.
    auto payloadOf = [](const std::shared_ptr<SourceFile>& file, std::vector<uint8_t>& out) {
        mxArray holder;
        holder.source = file;
        holder.format = file->format;
        const char* reason = nullptr;
        if (PayloadVector(holder, kMaxDecodedSubsystemBytes, out, reason)) return true;
        SetLastErrorText(std::string("its objects cannot join the others: ") + reason);
        return false;
    };
    if (!carried.merged) {
        const std::shared_ptr<SourceFile> first = targetOwn ? targetOwn : carried.source;
        if (!payloadOf(first, carried.payload)) return false;
        carried.joined.push_back({first, first->subsystemOffset, SubsystemSize(first), ObjectRenumbering{}});
        carried.replacesTargetOwn = targetOwn != nullptr;
        carried.source.reset();
        carried.merged = true;
    }
    std::vector<uint8_t> incoming, merged;
    ObjectRenumbering renumbering;
    std::string error;
    if (!payloadOf(array.source, incoming)) return false;
    if (!MergeSubsystems(carried.payload, incoming, merged, renumbering, error)) {
        SetLastErrorText("its objects cannot join the others: " + error);
        return false;
    }
    carried.payload = std::move(merged);
    carried.joined.push_back({array.source, source.subsystemOffset, size, std::move(renumbering)});
    return true;
}

}  // namespace

bool NoteCarried(CarriedSubsystem& carried, const mxArray& array, bool objects,
                 const std::shared_ptr<SourceFile>& targetOwn, bool carryWhenCostly) {
    if (!NoteCarriedData(carried, array, objects, targetOwn, carryWhenCostly)) return false;
    // Whether its references can be renumbered is known before anything is
    // written: a damaged one refuses the array, not the write.
    const ObjectRenumbering* renumbering = carried.RenumberingOf(array);
    std::vector<uint8_t> scratch;
    return renumbering == nullptr || ReadRenumbered(array, *renumbering, scratch);
}

bool NoteCarriedInto73(CarriedSubsystem& carried, const mxArray& array, const std::shared_ptr<SourceFile>& target,
                       bool carryWhenCostly) {
    if (array.format == nullptr || !array.source) return true;
    if (array.format->layout == FileLayout::kHdf5) return NoteCopiedObjects(carried, array);
    if (array.format->layout != FileLayout::kLevel5) return true;
    uint64_t size = 0;
    bool compressed = false;
    // Only an array that brings its file's objects meets other objects.
    if (!SubsystemOfFile(array, carryWhenCostly, &size, &compressed)) return true;
    if (CopiedHoldsObjects(carried)) return RefuseSecondSubsystem(false);
    // The target's own objects (its #subsystem#, read as a level-5 file
    // keeps it) come first: its variables' object ids stay as they are.
    if (!carried.targetAsked && target) carried.targetHoldsObjects = HoldsV73Objects(target);
    carried.targetAsked = true;
    const bool had = !carried.Empty();
    if (!NoteCarried(carried, array, false, carried.targetHoldsObjects ? target : nullptr, carryWhenCostly)) return false;
    if (carried.Empty() || (had && !carried.merged)) return true;   // nothing new to check
    std::vector<uint8_t> payload;
    bool swapped = false;
    std::string error;
    if (CarriedPayload(carried, payload, swapped, error)) return true;
    SetLastErrorText("its objects' values (its file's subsystem data) cannot be written into a version 7.3 file: " +
                     error);
    return false;
}

std::unique_ptr<WriteTarget> Level5Target(StagedFile* file, const MATFile* old, const Level5Options& options) {
    auto target = std::unique_ptr<Level5FileTarget>(new (std::nothrow) Level5FileTarget(file, old, options));
    if (!target || !target->Begin()) return nullptr;
    return target;
}

std::unique_ptr<WriteTarget> V73Target(StagedFile* file, const MATFile* old,
                                       const uint8_t userBlock[kV73UserBlockSize], bool wholeCopy) {
    return std::unique_ptr<WriteTarget>(new (std::nothrow) Version73Target(file, old, userBlock, wholeCopy));
}

void BuildHeader73(uint8_t header[kHeaderSize], std::time_t now) {
    BuildHeader5(header, false, now);
    std::memcpy(header + 7, "7.3", 3);   // "MATLAB 5.0 MAT-file" -> "MATLAB 7.3 MAT-file"
    size_t end = kHeaderTextSize;
    while (end > 0 && header[end - 1] == ' ') --end;
    static const char kSchema[] = " HDF5 schema 1.00 .";
    if (end + sizeof kSchema - 1 <= kHeaderTextSize) std::memcpy(header + end, kSchema, sizeof kSchema - 1);
    header[kVersionAt] = kVersion73 & 0xff;
    header[kVersionAt + 1] = kVersion73 >> 8;
}

}  // namespace matlib
