// Two files' subsystem data made one, so that objects (string, datetime,
// table, classdef objects) of one file can join a file that holds objects
// of its own. The base file's objects keep their ids and its bytes their
// form; the incoming file's objects follow them, its classes joined with
// the base's classes of the same name, its names with the base's names.
// Object references in the incoming variables and values are renumbered
// to match. The layout is described in subsystem.h and docs/V73-OBJECTS.md.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace matlib {

// How the objects of a file that joins another's subsystem data are
// numbered in the merged data: an object id moves up by objectOffset (id 0
// stays 0), a class id c becomes classes[c]. Empty classes: ids unchanged.
struct ObjectRenumbering {
    uint32_t objectOffset = 0;
    std::vector<uint32_t> classes;
    // The objects the incoming data holds: a reference beyond them (a damaged
    // file) would come to name another file's object, and is refused.
    uint32_t objects = 0;
    bool Identity() const { return objectOffset == 0 && classes.empty(); }
};

// Merges `incoming` (another file's subsystem data: the unnamed variable's
// uint8 data) into `base`. False with the reason when either is damaged or
// of a form that is not merged (a release's object format of another
// version, parts whose meaning is not known and differ).
bool MergeSubsystems(const std::vector<uint8_t>& base, const std::vector<uint8_t>& incoming,
                     std::vector<uint8_t>& merged, ObjectRenumbering& renumbering, std::string& error);

// Whether `payload` (a file's subsystem data) has the form MATLAB writes,
// taken apart as a merge takes it, its byte order in `swapped`; false
// with the reason.
bool CheckSubsystemPayload(const std::vector<uint8_t>& payload, bool& swapped, std::string& error);

// Renumbers the object references in a level-5 array element held in
// memory (uncompressed, tag included) at any depth: the id arrays of MCOS
// objects, and with inSubsystem also the plain uint32 references that
// values inside subsystem data hold. False when the element is damaged.
bool RenumberObjects(std::vector<uint8_t>& element, bool swapped, bool inSubsystem,
                     const ObjectRenumbering& renumbering, std::string& error);

}  // namespace matlib
