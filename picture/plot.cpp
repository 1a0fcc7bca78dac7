#include "picture/plot.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace picture {

namespace {

constexpr Rgb kLineColours[] = {{0, 114, 189}, {217, 83, 25}, {237, 177, 32}, {126, 47, 142},
                                {119, 172, 48}, {77, 190, 238}, {162, 20, 47}};

// A value's pixel on an axis of `length` pixels from `start` (y: downwards);
// values beyond the axis (Inf among them) stop at its ends.
double Place(double value, const Axis& axis, int start, int length, bool downwards) {
    double place = (value / 2 - axis.lo / 2) / (axis.hi / 2 - axis.lo / 2);
    if (!(place >= 0)) place = 0;   // NaN too: never drawn, but kept inside
    if (place > 1) place = 1;
    return downwards ? start + (1 - place) * length : start + place * length;
}

std::string Number(double value) { return FixedText(value, 1); }

// Text as XML character data: markup escaped, bytes XML cannot carry
// (controls, and any not ASCII: a name from a damaged file need not be UTF-8) as '?'.
std::string Escaped(const std::string& text) {
    std::string out;
    for (const char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (c == '&') out += "&amp;";
        else if (c == '<') out += "&lt;";
        else if (c == '>') out += "&gt;";
        else if (c == '"') out += "&quot;";
        else if (u < 0x20 || u >= 0x7F) out += '?';
        else out += c;
    }
    return out;
}

std::string Hex(Rgb c) {
    static const char digits[] = "0123456789abcdef";
    std::string text = "#";
    for (const uint8_t v : {c.r, c.g, c.b}) {
        text += digits[v >> 4];
        text += digits[v & 15];
    }
    return text;
}

}  // namespace

Frame PlotFrame(int width, int height) {
    width = std::clamp(width, kMinPlotSide, kMaxPlotSide);
    height = std::clamp(height, kMinPlotSide, kMaxPlotSide);
    // Room for the labels on the left and below, the title above.
    const int left = std::min(72, width / 4), bottom = std::min(40, height / 4), top = std::min(32, height / 6);
    return Frame{left, top, width - left - 16, height - top - bottom};
}

Axis IndexAxis(uint64_t samples) {
    return MakeAxis(1, static_cast<double>(std::max<uint64_t>(samples, 1)));
}

Axis ValueAxis(const std::vector<Decimator>& lines) {
    bool any = false;
    double lo = 0, hi = 0;
    for (const Decimator& line : lines) {
        double least = 0, most = 0;
        if (!line.Range(&least, &most)) continue;
        lo = any ? std::min(lo, least) : least;
        hi = any ? std::max(hi, most) : most;
        any = true;
    }
    if (!any) return MakeAxis(-1, 1);
    // Out to the ticks around the values, as MATLAB's y limits go.
    const Axis tight = MakeAxis(lo, hi);
    if (!(tight.step > 0)) return tight;
    const double outerLo = std::floor(tight.lo / tight.step) * tight.step, outerHi = std::ceil(tight.hi / tight.step) * tight.step;
    return std::isfinite(outerLo) && std::isfinite(outerHi) ? MakeAxis(outerLo, outerHi) : tight;
}

Rgb LineColour(size_t line) { return kLineColours[line % (sizeof kLineColours / sizeof kLineColours[0])]; }

std::string Svg(const LinePlot& plot) {
    const int width = std::clamp(plot.width, kMinPlotSide, kMaxPlotSide);
    const int height = std::clamp(plot.height, kMinPlotSide, kMaxPlotSide);
    const Frame f = PlotFrame(width, height);
    std::string svg = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" +
                      std::to_string(width) + "\" height=\"" + std::to_string(height) + "\" viewBox=\"0 0 " +
                      std::to_string(width) + " " + std::to_string(height) + "\" font-family=\"sans-serif\" font-size=\"12\">\n";
    svg += "<title>" + Escaped(plot.title) + "</title>\n";
    svg += "<rect width=\"" + std::to_string(width) + "\" height=\"" + std::to_string(height) + "\" fill=\"white\"/>\n";
    svg += "<text x=\"" + std::to_string(f.left + f.width / 2) + "\" y=\"" + std::to_string(std::max(14, f.top - 10)) +
           "\" text-anchor=\"middle\" font-size=\"14\">" + Escaped(plot.title) + "</text>\n";
    svg += "<g stroke=\"black\" fill=\"none\" shape-rendering=\"crispEdges\">\n<rect x=\"" + std::to_string(f.left) + "\" y=\"" +
           std::to_string(f.top) + "\" width=\"" + std::to_string(f.width) + "\" height=\"" + std::to_string(f.height) + "\"/>\n";
    std::string labels;
    for (const Tick& tick : plot.x.ticks) {
        const std::string x = Number(Place(tick.value, plot.x, f.left, f.width, false));
        svg += "<line class=\"xtick\" x1=\"" + x + "\" y1=\"" + std::to_string(f.top + f.height) + "\" x2=\"" + x + "\" y2=\"" +
               std::to_string(f.top + f.height - 5) + "\"/>\n";
        labels += "<text class=\"xlabel\" x=\"" + x + "\" y=\"" + std::to_string(f.top + f.height + 16) +
                  "\" text-anchor=\"middle\">" + Escaped(tick.label) + "</text>\n";
    }
    for (const Tick& tick : plot.y.ticks) {
        const std::string y = Number(Place(tick.value, plot.y, f.top, f.height, true));
        svg += "<line class=\"ytick\" x1=\"" + std::to_string(f.left) + "\" y1=\"" + y + "\" x2=\"" + std::to_string(f.left + 5) +
               "\" y2=\"" + y + "\"/>\n";
        labels += "<text class=\"ylabel\" x=\"" + std::to_string(f.left - 6) + "\" y=\"" + y +
                  "\" text-anchor=\"end\" dominant-baseline=\"middle\">" + Escaped(tick.label) + "</text>\n";
    }
    svg += "</g>\n<g fill=\"black\">\n" + labels + "</g>\n";
    // The x of a column's points: its centre in the frame; the columns span the x axis.
    for (size_t l = 0; l < plot.lines.size(); ++l) {
        const double columnWidth = plot.lines[l].empty() ? 1 : static_cast<double>(f.width) / plot.lines[l].size();
        svg += "<g class=\"line\" fill=\"none\" stroke=\"" + Hex(LineColour(l)) + "\" stroke-width=\"1\" stroke-linecap=\"round\">\n";
        for (const std::vector<Point>& stretch : Polylines(plot.lines[l])) {
            svg += "<polyline points=\"";
            // A lone point is drawn as a dot: a line of no length with round ends.
            for (size_t k = 0; k < std::max<size_t>(stretch.size(), 2); ++k) {
                const Point& p = stretch[std::min(k, stretch.size() - 1)];
                svg += Number(f.left + p.x * columnWidth) + "," + Number(Place(p.y, plot.y, f.top, f.height, true)) + " ";
            }
            svg.back() = '"';
            svg += "/>\n";
        }
        svg += "</g>\n";
    }
    return svg + "</svg>\n";
}

namespace {

void Dot(std::vector<Rgb>& pixels, int width, int height, int x, int y, Rgb colour) {
    if (x >= 0 && y >= 0 && x < width && y < height) pixels[static_cast<size_t>(y) * width + x] = colour;
}

// Bresenham's line between two pixels.
void Line(std::vector<Rgb>& pixels, int width, int height, int x0, int y0, int x1, int y1, Rgb colour) {
    const int dx = std::abs(x1 - x0), dy = -std::abs(y1 - y0), sx = x0 < x1 ? 1 : -1, sy = y0 < y1 ? 1 : -1;
    int error = dx + dy;
    for (;;) {
        Dot(pixels, width, height, x0, y0, colour);
        if (x0 == x1 && y0 == y1) return;
        const int twice = 2 * error;
        if (twice >= dy) {
            error += dy;
            x0 += sx;
        }
        if (twice <= dx) {
            error += dx;
            y0 += sy;
        }
    }
}

}  // namespace

std::vector<Rgb> Raster(const LinePlot& plot) {
    const int width = std::clamp(plot.width, kMinPlotSide, kMaxPlotSide);
    const int height = std::clamp(plot.height, kMinPlotSide, kMaxPlotSide);
    const Frame f = PlotFrame(width, height);
    std::vector<Rgb> pixels(static_cast<size_t>(width) * height, Rgb{255, 255, 255});
    const Rgb black{0, 0, 0};
    const int right = f.left + f.width, bottom = f.top + f.height;
    Line(pixels, width, height, f.left, f.top, right, f.top, black);
    Line(pixels, width, height, right, f.top, right, bottom, black);
    Line(pixels, width, height, right, bottom, f.left, bottom, black);
    Line(pixels, width, height, f.left, bottom, f.left, f.top, black);
    for (const Tick& tick : plot.x.ticks) {
        const int x = static_cast<int>(Place(tick.value, plot.x, f.left, f.width, false));
        Line(pixels, width, height, x, bottom, x, bottom - 5, black);
    }
    for (const Tick& tick : plot.y.ticks) {
        const int y = static_cast<int>(Place(tick.value, plot.y, f.top, f.height, true));
        Line(pixels, width, height, f.left, y, f.left + 5, y, black);
    }
    for (size_t l = 0; l < plot.lines.size(); ++l) {
        const double columnWidth = plot.lines[l].empty() ? 1 : static_cast<double>(f.width) / plot.lines[l].size();
        for (const std::vector<Point>& stretch : Polylines(plot.lines[l])) {
            for (size_t k = 0; k < stretch.size(); ++k) {
                const Point& a = stretch[k == 0 ? 0 : k - 1];
                const Point& b = stretch[k];
                Line(pixels, width, height, static_cast<int>(f.left + a.x * columnWidth),
                     static_cast<int>(Place(a.y, plot.y, f.top, f.height, true)), static_cast<int>(f.left + b.x * columnWidth),
                     static_cast<int>(Place(b.y, plot.y, f.top, f.height, true)), LineColour(l));
            }
        }
    }
    return pixels;
}

}  // namespace picture
