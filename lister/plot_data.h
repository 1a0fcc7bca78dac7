// What the lister draws of a variable, computed from one streaming pass over
// its values without a screen: the plot's columns (least, greatest, first,
// last per column, so no peak is lost), the image's pixels and colour
// limits, and a grid cell's text. The Qt and Win32 windows only paint these.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "lister/document.h"
#include "picture/colour.h"
#include "picture/decimate.h"

namespace lister {

// A plot is computed once at this resolution and re-binned to the window's
// width as it is painted: resizing reads nothing again.
inline constexpr size_t kPlotColumns = 4096;
// The most columns of a matrix drawn as lines.
inline constexpr uint64_t kMaxLines = 8;
// An image's longest side in pixels; a larger matrix is averaged into it.
inline constexpr size_t kImageSide = 1024;

struct PlotData {
    std::vector<std::vector<picture::Column>> lines;   // one per plotted column
    double least = 0, most = 0;   // the finite range of every line
    uint64_t samples = 0;         // per line: the x axis runs 1 .. samples
    bool any = false, damaged = false;
    bool partial = false;         // stopped, or reported, before the last value
};

// A long pass reports what it has so far soon (after kFirstProgressValues,
// a first picture within a few milliseconds) and then after each
// kProgressValues values; the callback returns false to stop it there (the
// result is then partial).
inline constexpr uint64_t kFirstProgressValues = uint64_t{1} << 18;
inline constexpr uint64_t kProgressValues = uint64_t{1} << 22;

// A vector as one line; a matrix's first kMaxLines columns as lines.
using PlotProgress = std::function<bool(const PlotData& partial)>;
PlotData ComputePlot(Document& document, size_t row, size_t columns, const PlotProgress& progress = nullptr);

// Columns merged into `width` pixel columns (each a run of whole columns).
std::vector<picture::Column> Rebin(const std::vector<picture::Column>& columns, size_t width);

struct ImageData {
    size_t width = 0, height = 0;
    std::vector<picture::Rgb> pixels;   // row by row from the top
    picture::ColourLimits limits;       // imagesc's, of every finite value
    uint64_t pages = 1;                 // an N-d array's pages; the first is drawn
    bool damaged = false;
    bool partial = false;               // stopped, or reported, before the last value
};

// The first page of a matrix scaled as imagesc scales it, or with
// `trueColour` an M-by-N-by-3 array as its picture, in at most side x side
// pixels (each the mean of the elements that fall in it).
// Pixels no value has reached yet are NaN's colour in a partial image.
using ImageProgress = std::function<bool(const ImageData& partial)>;
ImageData ComputeImage(Document& document, size_t row, bool trueColour, size_t side, const ImageProgress& progress = nullptr);

// A grid cell: MATLAB's format short g for double and single (5
// significant digits), integers and logicals whole.
std::string CellText(double value, const std::string& className);

}  // namespace lister

namespace lister {

// What a plot looks like in a window of width x height pixels, in pixels:
// the toolkits draw exactly this (lines, rectangles, texts at points).
struct PixelPoint {
    double x, y;
};
struct TickMark {
    double at;           // pixel: y for the value axis, x for the index axis
    std::string label;
};
struct PlotScene {
    int left = 0, top = 0, right = 0, bottom = 0;      // the plot area
    std::vector<TickMark> valueTicks, indexTicks;
    std::vector<std::vector<std::vector<PixelPoint>>> lines;   // per line its polylines
    std::string title;
    bool empty = true;   // nothing finite: only "no finite values" is shown
};

// Colours of the lines, in order (MATLAB's default line colours), 0xRRGGBB.
inline constexpr uint32_t kLineColours[] = {0x0072BD, 0xD95319, 0xEDB120, 0x7E2F8E,
                                            0x77AC30, 0x4DBEEE, 0xA2142F, 0x000000};

// `textWidth` measures a label in the toolkit's font; `lineHeight` its height.
using TextWidthFn = int (*)(void* context, const std::string& text);
PlotScene MakePlotScene(const PlotData& data, const std::string& name, int width, int height, int lineHeight,
                        TextWidthFn textWidth, void* context);

// The colour bar's ticks beside an image: pixel y of each between `top` and
// `bottom` (lo at the bottom).
std::vector<TickMark> ColourBarTicks(double lo, double hi, int top, int bottom);

// The variable a file opens on: the largest that can be drawn, else the first.
size_t PreferredVariable(const Document& document, const std::vector<size_t>& order);
// The line over the view: "Z  5000x5000 double  —  [Image] Plot Grid Text".
std::string ViewTitle(const VariableRow& row, const std::vector<View>& views, size_t current);

// Whether Esc closes the host's window of this title, showing the file at
// `path`: Double Commander's viewer (F3) is titled with the file's path and,
// in 1.0.10, takes no Esc while a plug-in's widget has the focus, so the
// lister closes it as its close button does. Quick view lives in the main
// window ("Double Commander ..."), which Esc must never close.
bool EscClosesHostWindow(const std::string& windowTitle, const std::string& path);

}  // namespace lister
