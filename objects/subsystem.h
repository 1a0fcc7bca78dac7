// The subsystem data of a level-5 file, decoded in memory: where MATLAB keeps
// the values of its objects (string, datetime, table, classdef instances).
//
// Layout, as MATLAB writes it (checked against MATLAB's own files): the
// unnamed variable's uint8 data starts with the version and endian indicator
// of a level-5 header, then holds a 1x1 struct with the field "MCOS", an
// opaque "FileWrapper__" whose content is a cell. Its first element is a
// uint8 array of object metadata: a version word, the number of names, eight
// region offsets, the names (NUL-terminated), then the regions: class names
// (4 words each: package name, class name), properties of objects that saved
// themselves, object records (6 words each: class, two reserved, saved-
// properties block, properties block, dependency id), property blocks (a count,
// then triplets name, kind, value; padded to 8 bytes). A property of kind 1
// refers to cell element value + 2. The last cell element holds each class's
// default property values, one struct per class id.
//
// Every read is checked against the bytes held; nothing here trusts a count.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "codec/array_view.h"
#include "codec/held_bytes.h"

namespace matlib {

class Subsystem {
public:
    struct Property {
        std::string name;
        bool hasValue = false;   // value is an array element at valuePos
        size_t valuePos = 0;
        std::string text;        // otherwise: the value as text
    };

    // payload: the unnamed variable's uint8 data. False with `error` set.
    bool Load(HeldBytes payload, std::string& error);
    const Bytes& bytes() const { return bytes_; }
    // Lets the system take back what was read of a scratch copy (HeldBytes).
    void Release() const { held_.Release(); }
    bool ClassName(uint32_t objectId, std::string& out, std::string& error) const;
    // The object's properties: its class's defaults, overridden by what was saved.
    bool Properties(uint32_t objectId, std::vector<Property>& out, std::string& error) const;

private:
    uint32_t Word(size_t at) const;   // metadata word at a byte offset (checked by the caller)
    bool Region(size_t index, size_t& start, size_t& end) const;
    bool Record(uint32_t objectId, uint32_t words[6], std::string& error) const;
    bool Block(size_t region, uint32_t index, size_t& pos, uint32_t& count, std::string& error) const;
    bool Defaults(uint32_t classId, std::vector<Property>& out) const;

    HeldBytes held_;
    Bytes bytes_;
    size_t metaPos_ = 0, metaSize_ = 0;
    uint32_t offsets_[8] = {};
    std::vector<std::string> names_;
    std::vector<size_t> cells_;   // positions of the FileWrapper__ cell's elements
};

}  // namespace matlib
