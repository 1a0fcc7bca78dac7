// PNG and SVG: a matrix as the picture imagesc draws (one pixel per
// element), an M-by-N-by-3 array as its true colours, a vector or a
// matrix's columns as a line plot. Values are read through the element
// readers in bounded memory: the picture in bands of rows, the plot in one
// pass in order.
#include <algorithm>
#include <cmath>
#include <new>
#include <string_view>
#include <vector>

#include "export/writers.h"
#include "picture/colour.h"
#include "picture/decimate.h"
#include "picture/plot.h"
#include "picture/png.h"

namespace exporting {

namespace {

// Slot k of part 0 as a double (int64 and uint64 beyond 2^53 rounded: a
// colour or a pixel's place needs no more).
double Sample(const Values& values, size_t k) {
    if (values.classId == mxINT64_CLASS) return static_cast<double>(values.real64[k]);
    if (values.classId == mxUINT64_CLASS) return static_cast<double>(values.realU64[k]);
    return values.real[k];
}

// The range a true-colour component of the class spans: 0..255 for uint8
// (kept as it is), 0..1 for double, single and logical (MATLAB's image
// rules), an integer class's whole range otherwise.
void ComponentRange(mxClassID id, double* lo, double* hi) {
    switch (id) {
        case mxUINT8_CLASS: *lo = 0; *hi = 255; return;
        case mxINT8_CLASS: *lo = -128; *hi = 127; return;
        case mxUINT16_CLASS: *lo = 0; *hi = 65535; return;
        case mxINT16_CLASS: *lo = -32768; *hi = 32767; return;
        case mxUINT32_CLASS: *lo = 0; *hi = 4294967295.0; return;
        case mxINT32_CLASS: *lo = -2147483648.0; *hi = 2147483647.0; return;
        case mxUINT64_CLASS: *lo = 0; *hi = 18446744073709551615.0; return;
        case mxINT64_CLASS: *lo = -9223372036854775808.0; *hi = 9223372036854775807.0; return;
        default: *lo = 0; *hi = 1; return;
    }
}

}  // namespace

bool IsTrueColour(const mxArray* array) {
    return mxGetNumberOfDimensions(array) == 3 && mxGetDimensions(array)[2] == 3;
}

void WritePng(const mxArray* array, Output& out) {
    const mwSize* dims = mxGetDimensions(array);
    const uint64_t m = dims[0], n = dims[1], total = mxGetNumberOfElements(array);
    const bool trueColour = IsTrueColour(array);
    Values values(array, out.Destination());
    picture::ColourLimits limits;
    if (!trueColour) {
        // imagesc's limits first: one pass in order over every value.
        out.AddWork(total);
        for (uint64_t first = 0; first < total; first += Values::kBatch) {
            const size_t count = static_cast<size_t>(std::min<uint64_t>(Values::kBatch, total - first));
            if (!values.Read(first, count, 0)) return out.FailRead();
            for (size_t k = 0; k < count; ++k) limits.Add(Sample(values, k));
            out.Advance(count);
            if (out.Failed()) return;
        }
    }
    double lo = 0, hi = 1;
    ComponentRange(values.classId, &lo, &hi);
    picture::PngWriter png(static_cast<uint32_t>(n), static_cast<uint32_t>(m), [&out](const uint8_t* bytes, size_t count) {
        out.Put(std::string_view(reinterpret_cast<const char*>(bytes), count));
        return !out.Failed();
    });
    std::vector<picture::Rgb> row(n);
    // A true-colour array is an m-by-3n matrix: its red, green and blue
    // pages side by side, so one pass in bands of rows reads all three.
    const uint64_t width = trueColour ? 3 * n : n;
    const bool whole = ForEachRowBlock(values, out, 0, m, width, [&](uint64_t, uint64_t rows, uint64_t, uint64_t) {
        for (uint64_t r = 0; r < rows; ++r) {
            for (uint64_t j = 0; j < n; ++j) {
                if (trueColour) {
                    row[j] = {picture::Level(Sample(values, j * rows + r), lo, hi),
                              picture::Level(Sample(values, (n + j) * rows + r), lo, hi),
                              picture::Level(Sample(values, (2 * n + j) * rows + r), lo, hi)};
                } else {
                    row[j] = picture::ScaledColour(Sample(values, j * rows + r), limits);
                }
            }
            if (!png.Row(row.data())) return;
        }
        out.Advance(rows * width);
    });
    if (!whole) {
        if (!out.Failed()) out.FailRead();
        return;
    }
    // With the output well, only deflate's own memory can fail it.
    if (!png.Finish() && !out.Failed()) throw std::bad_alloc();
}

void WriteSvg(const mxArray* array, const std::string& title, Output& out) {
    const uint64_t m = mxGetM(array), n = mxGetN(array), total = mxGetNumberOfElements(array);
    // A vector is one line; a matrix's columns are a line each, as MATLAB's plot draws them.
    const bool vector = m == 1 || n == 1;
    const uint64_t samples = vector ? total : m;
    const uint64_t lines = vector ? 1 : n;
    picture::LinePlot plot;
    plot.title = title;
    const picture::Frame frame = picture::PlotFrame(plot.width, plot.height);
    plot.x = picture::IndexAxis(samples);
    std::vector<picture::Decimator> decimators(lines, picture::Decimator(static_cast<size_t>(frame.width), plot.x.lo, plot.x.hi));
    Values values(array);
    uint64_t line = 0, index = 0;   // of the next element: counted, not divided, for 10^8 of them
    std::vector<double> wide;       // an int64 or uint64 batch as doubles
    for (uint64_t first = 0; first < total; first += Values::kBatch) {
        const size_t count = static_cast<size_t>(std::min<uint64_t>(Values::kBatch, total - first));
        if (!values.Read(first, count, 0)) return out.FailRead();
        const double* ys = values.real.data();
        if (values.classId == mxINT64_CLASS || values.classId == mxUINT64_CLASS) {
            wide.resize(count);
            for (size_t k = 0; k < count; ++k) wide[k] = Sample(values, k);
            ys = wide.data();
        }
        // Each line's stretch of the batch at once.
        for (size_t k = 0; k < count;) {
            const size_t run = static_cast<size_t>(std::min<uint64_t>(count - k, samples - index));
            decimators[line].AddRun(static_cast<double>(index + 1), ys + k, run);
            k += run;
            index += run;
            if (index == samples) {
                index = 0;
                ++line;
            }
        }
        out.Advance(count);
        if (out.Failed()) return;
    }
    plot.y = picture::ValueAxis(decimators);
    for (const picture::Decimator& line : decimators) plot.lines.push_back(line.Columns());
    out.Put(picture::Svg(plot));
}

}  // namespace exporting
