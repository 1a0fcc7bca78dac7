// A line plot of decimated lines: its frame inside the picture, its axes,
// and the picture as SVG text or as pixels. The SVG holds at most two
// points per pixel column of each line, whatever the lines' lengths.
#pragma once

#include <string>
#include <vector>

#include "picture/axis.h"
#include "picture/colour.h"
#include "picture/decimate.h"

namespace picture {

// The smallest and largest picture a plot is drawn in.
inline constexpr int kMinPlotSide = 64;
inline constexpr int kMaxPlotSide = 8192;

// The plot area inside a picture of width x height (clamped to the bounds above).
struct Frame {
    int left, top, width, height;
};
Frame PlotFrame(int width, int height);

struct LinePlot {
    std::string title;           // the variable's name
    int width = 800, height = 400;
    Axis x, y;                   // x: the samples' x range; y: the lines' values
    std::vector<std::vector<Column>> lines;   // each of PlotFrame(...).width columns
};

// The x axis of n samples by index: 1 .. n, as MATLAB's plot numbers them.
Axis IndexAxis(uint64_t samples);
// The y axis of the lines' finite values, widened to the ticks around them
// (-1 .. 1 when there is none).
Axis ValueAxis(const std::vector<Decimator>& lines);

// The line colours, MATLAB's colour order.
Rgb LineColour(size_t line);

std::string Svg(const LinePlot& plot);

// The plot as pixels (row-major, width x height): frame, tick marks and
// lines; no text (the SVG carries the labels and the title).
std::vector<Rgb> Raster(const LinePlot& plot);

}  // namespace picture
