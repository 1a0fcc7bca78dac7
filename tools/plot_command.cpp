// plot's drawing: a variable the plug-in wrote as NPY, read in pieces and
// decimated in one pass into a line plot of any size, as SVG or as a PNG
// of the plot's frame, ticks and lines (no text: a PNG carries no font
// here; the SVG has the labels and the title).
#include <algorithm>
#include <bit>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

#include "picture/plot.h"
#include "picture/png.h"
#include "tools/commands.h"

namespace matwcx {

namespace {

struct NpyHeader {
    std::string descr;
    bool fortranOrder = false;
    std::vector<uint64_t> shape;
};

// The dictionary NPY's writers put in front of the data; false when it is
// not one this reads (a complex, text or big-endian array among them).
bool ReadHeader(std::ifstream& in, NpyHeader* header, std::string* why) {
    char start[10];
    if (!in.read(start, sizeof start) || std::memcmp(start, "\x93NUMPY", 6) != 0) return *why = "not an NPY file", false;
    uint32_t length = static_cast<uint8_t>(start[8]) | static_cast<uint8_t>(start[9]) << 8;
    if (start[6] != 1) {
        char more[2];
        if (!in.read(more, 2)) return *why = "a short NPY header", false;
        length |= static_cast<uint32_t>(static_cast<uint8_t>(more[0])) << 16 | static_cast<uint32_t>(static_cast<uint8_t>(more[1])) << 24;
    }
    if (length > (1u << 20)) return *why = "an NPY header too long", false;
    std::string text(length, '\0');
    if (!in.read(text.data(), length)) return *why = "a short NPY header", false;
    const auto value = [&](const std::string& key) {
        const size_t at = text.find("'" + key + "': ");
        return at == std::string::npos ? std::string() : text.substr(at + key.size() + 4);
    };
    const std::string descr = value("descr");
    if (descr.size() < 5 || descr[0] != '\'') return *why = "an NPY header without a type", false;
    header->descr = descr.substr(1, descr.find('\'', 1) - 1);
    header->fortranOrder = value("fortran_order").rfind("True", 0) == 0;
    std::string shape = value("shape");
    shape = shape.substr(0, shape.find(')'));
    for (size_t at = shape.find_first_of("0123456789"); at != std::string::npos; at = shape.find_first_of("0123456789", at)) {
        size_t end = 0;
        header->shape.push_back(std::stoull(shape.substr(at), &end));
        at += end;
    }
    return true;
}

size_t Width(const std::string& descr) {
    static const char* const types[] = {"<f8", "<f4", "|i1", "|u1", "<i2", "<u2", "<i4", "<u4", "<i8", "<u8", "|b1"};
    static const size_t widths[] = {8, 4, 1, 1, 2, 2, 4, 4, 8, 8, 1};
    for (size_t i = 0; i < std::size(types); ++i) {
        if (descr == types[i]) return widths[i];
    }
    return 0;
}

template <typename T>
double Take(const char* at) {
    T value;
    std::memcpy(&value, at, sizeof value);
    return static_cast<double>(value);
}

double Value(const std::string& descr, const char* at) {
    switch (descr[1]) {
        case 'f': return descr[2] == '8' ? Take<double>(at) : Take<float>(at);
        case 'b': return at[0] != 0 ? 1 : 0;
        case 'u':
            return descr[2] == '1' ? Take<uint8_t>(at) : descr[2] == '2' ? Take<uint16_t>(at) : descr[2] == '4' ? Take<uint32_t>(at) : Take<uint64_t>(at);
        default:
            return descr[2] == '1' ? Take<int8_t>(at) : descr[2] == '2' ? Take<int16_t>(at) : descr[2] == '4' ? Take<int32_t>(at) : Take<int64_t>(at);
    }
}

// The bytes written beside `path` and renamed over it: a plot is there whole or not at all.
bool WriteInPlace(const std::string& path, const std::string& bytes) {
    const std::string part = path + ".part";
    std::ofstream out(part, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    std::error_code error;
    if (!out.flush()) {
        out.close();
        std::filesystem::remove(part, error);
        return false;
    }
    out.close();
    std::filesystem::rename(part, path, error);
    if (error && std::filesystem::exists(path)) {
        // A C library whose rename does not replace (some Windows runtimes):
        // the old plot goes first.
        std::error_code ignored;
        std::filesystem::remove(path, ignored);
        error.clear();
        std::filesystem::rename(part, path, error);
    }
    if (error) {
        std::error_code ignored;
        std::filesystem::remove(part, ignored);
    }
    return !error;
}

}  // namespace

bool DrawLinePlot(const std::string& npyPath, const PlotRequest& request, std::string* why) {
    static_assert(std::endian::native == std::endian::little || std::endian::native == std::endian::big);
    std::ifstream in(npyPath, std::ios::binary);
    NpyHeader header;
    if (!ReadHeader(in, &header, why)) return false;
    const size_t width = Width(header.descr);
    if (width == 0 || std::endian::native != std::endian::little) {
        return *why = "a variable of NumPy type " + header.descr + " (complex, text ...) is not plotted", false;
    }
    if (header.shape.size() > 2 || header.shape.empty()) return *why = "an array of more than two dimensions is not plotted", false;
    const uint64_t m = header.shape[0], n = header.shape.size() == 2 ? header.shape[1] : 1;
    if (m == 0 || n == 0) return *why = "an empty array is not plotted", false;
    // A vector is one line; a matrix's columns (NPY keeps them in order, fortran_order) a line each.
    const bool vector = m == 1 || n == 1;
    const uint64_t samples = vector ? m * n : m, lines = vector ? 1 : n;
    if (lines > 64) return *why = "a matrix of more than 64 columns is not plotted (it goes to .png)", false;

    picture::LinePlot plot;
    plot.title = request.title;
    plot.width = request.width;
    plot.height = request.height;
    plot.x = picture::IndexAxis(samples);
    const picture::Frame frame = picture::PlotFrame(plot.width, plot.height);
    std::vector<picture::Decimator> decimators(lines, picture::Decimator(static_cast<size_t>(frame.width), plot.x.lo, plot.x.hi));
    constexpr size_t kPiece = 1 << 20;   // values read at a time
    std::vector<char> buffer(kPiece * width);
    std::vector<double> values(kPiece);
    const uint64_t total = m * n;
    uint64_t line = 0, index = 0;   // of the next element
    for (uint64_t first = 0; first < total; first += kPiece) {
        const size_t count = static_cast<size_t>(std::min<uint64_t>(kPiece, total - first));
        if (!in.read(buffer.data(), static_cast<std::streamsize>(count * width))) return *why = "the NPY file ends early", false;
        for (size_t k = 0; k < count; ++k) values[k] = Value(header.descr, &buffer[k * width]);
        // Each line's samples go to its decimator a run at a time (x from 1).
        for (size_t k = 0; k < count;) {
            const size_t run = static_cast<size_t>(std::min<uint64_t>(count - k, samples - index));
            decimators[line].AddRun(static_cast<double>(index + 1), values.data() + k, run);
            k += run;
            index += run;
            if (index == samples) {
                index = 0;
                ++line;
            }
        }
    }
    plot.y = picture::ValueAxis(decimators);
    for (const picture::Decimator& line : decimators) plot.lines.push_back(line.Columns());

    std::string bytes;
    if (request.svg) {
        bytes = picture::Svg(plot);
    } else {
        const std::vector<picture::Rgb> pixels = picture::Raster(plot);
        const uint32_t w = static_cast<uint32_t>(std::clamp(plot.width, picture::kMinPlotSide, picture::kMaxPlotSide));
        const uint32_t h = static_cast<uint32_t>(pixels.size() / w);
        picture::PngWriter png(w, h, [&bytes](const uint8_t* data, size_t count) {
            bytes.append(reinterpret_cast<const char*>(data), count);
            return true;
        });
        for (uint32_t y = 0; y < h; ++y) png.Row(&pixels[size_t{y} * w]);
        if (!png.Finish()) return *why = "the PNG could not be made", false;
    }
    if (!WriteInPlace(request.output, bytes)) return *why = "cannot write " + request.output, false;
    return true;
}

}  // namespace matwcx
