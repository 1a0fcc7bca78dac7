// Writes seed files that no installed writer makes: every array class in
// both byte orders of level 5 (opaque, function handle, object, the unnamed
// workspace variable, the other character storages, small elements, values
// stored in a narrower type), compressed and not, and version 4 matrices of
// every precision in both orders. Built from the tests' byte-level builder,
// which knows the format independently of the engine.
// Usage: make_seeds OUT_FOLDER
#include <cstdio>
#include <string>
#include <vector>

#include "support/mat_builder.h"

using namespace matbuild;

namespace {

// Deep enough to reach the nesting code, small enough to mutate quickly.
constexpr size_t kSeedNestingDepth = 40;

Bytes NestedCell(Order o, size_t depth) {
    Bytes inner = NumericVar(o, "", mxDOUBLE, {1, 1}, {1});
    for (size_t k = 0; k < depth; ++k) inner = CellVar(o, k + 1 == depth ? "nest" : "", {1, 1}, {inner});
    return inner;
}

std::vector<std::pair<std::string, Bytes>> Variables(Order o) {
    Bytes fieldStruct = StructVar(o, "", {1, 1}, {"function", "type", "file"},
                                  {CharVar(o, "", "sin"), CharVar(o, "", "simple"), CharVar(o, "", "")});
    Bytes opaqueInner = NumericVar(o, "", mxUINT32, {6, 1}, {3707764736, 2, 1, 1, 1, 1});
    return {
        {"numeric", NumericVar(o, "d", mxDOUBLE, {2, 3}, Iota(6), Iota(6, 10))},
        {"narrow", NumericVar(o, "n", mxDOUBLE, {1, 4}, {1, 2, 3, 4}, {}, 0, miUINT8)},
        {"int64", NumericVar(o, "i", mxINT64, {1, 2}, {-5, 7})},
        {"logical", NumericVar(o, "l", mxUINT8, {1, 3}, {1, 0, 1}, {}, kLogical)},
        {"global", NumericVar(o, "g", mxSINGLE, {1, 1}, {2.5}, {}, kGlobal)},
        {"nd", NumericVar(o, "nd", mxINT16, {2, 2, 2}, Iota(8))},
        {"char16", CharVar(o, "s", {1, 3}, {'a', 0x20AC, 'z'})},
        {"charutf8", CharVar(o, "u", {1, 3}, {'a', 'b', 'c'}, miUTF8)},
        {"charutf16", CharVar(o, "w", {1, 2}, {0xD83D, 0xDE00}, miUTF16)},
        {"charint8", CharVar(o, "c", {2, 2}, {'a', 'b', 'c', 'd'}, miINT8)},
        {"sparse", SparseVar(o, "sp", 3, 3, {0, 2, 1}, {0, 1, 2, 3}, {1, 2, 3}, {4, 5, 6})},
        {"sparselogical", SparseVar(o, "sl", 2, 2, {1}, {0, 0, 1}, {1}, {}, kLogical)},
        {"cell", CellVar(o, "c", {1, 2}, {CharVar(o, "", "x"), NumericVar(o, "", mxINT8, {1, 1}, {3})})},
        {"emptycell", CellVar(o, "e", {0, 0}, {})},
        {"struct", StructVar(o, "st", {1, 2}, {"a", "bb"},
                             {NumericVar(o, "", mxDOUBLE, {1, 1}, {1}), CharVar(o, "", "one"),
                              NumericVar(o, "", mxDOUBLE, {1, 1}, {2}), CellVar(o, "", {0, 0}, {})})},
        {"object", ObjectVar(o, "ob", "myclass", {1, 1}, {"v"}, {NumericVar(o, "", mxDOUBLE, {1, 1}, {4})})},
        {"function", FunctionHandleVar(o, "fh", fieldStruct)},
        {"opaque", OpaqueVar(o, "str", "string", opaqueInner)},
        {"workspace", OpaqueVar(o, "", "FileWrapper__", opaqueInner)},
        {"nested", NestedCell(o, kSeedNestingDepth)},
    };
}

bool Write(const std::string& path, const Bytes& bytes) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_seeds OUT_FOLDER\n");
        return 2;
    }
    const std::string out = argv[1];
    bool ok = true;
    for (Order o : {Order::Little, Order::Big}) {
        const std::string order = o == Order::Little ? "le" : "be";
        std::vector<Bytes> all, allCompressed;
        for (const auto& [name, element] : Variables(o)) {
            ok &= Write(out + "/builder_" + order + "_" + name + ".mat", File5(o, {element}));
            ok &= Write(out + "/builder_" + order + "z_" + name + ".mat", File5(o, {Compressed(o, element)}));
            all.push_back(element);
            allCompressed.push_back(Compressed(o, element));
        }
        ok &= Write(out + "/builder_" + order + "_all.mat", File5(o, all));
        ok &= Write(out + "/builder_" + order + "z_all.mat", File5(o, allCompressed));
        // Two variables of one name.
        ok &= Write(out + "/builder_" + order + "_duplicate.mat",
                    File5(o, {NumericVar(o, "x", mxDOUBLE, {1, 1}, {1}), CharVar(o, "x", "second")}));
    }
    for (V4Order o : {V4Order::Little, V4Order::Big}) {
        const std::string order = o == V4Order::Little ? "le" : "be";
        Bytes all;
        for (V4Precision p : {V4Precision::Double, V4Precision::Single, V4Precision::Int32, V4Precision::Int16,
                              V4Precision::UInt16, V4Precision::UInt8}) {
            Append(all, V4Matrix(o, p, V4Type::Full, "m" + std::to_string(static_cast<int>(p)), 2, 2, {1, 2, 3, 4},
                                 p == V4Precision::Double ? std::vector<double>{5, 6, 7, 8} : std::vector<double>{}));
        }
        Append(all, V4Matrix(o, V4Precision::Double, V4Type::Text, "t", 1, 3, {'a', 'b', 'c'}));
        Append(all, V4Matrix(o, V4Precision::Double, V4Type::Sparse, "s", 3, 3, {1, 2, 3, 1, 2, 3, 5, 6, 0}));
        ok &= Write(out + "/builder_v4" + order + "_all.mat", all);
    }
    return ok ? 0 : 1;
}
