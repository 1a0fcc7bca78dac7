// One pass over a variable's values into what the plot and the image show.
#include "lister/plot_data.h"

#include <algorithm>
#include <cmath>
#include <charconv>

#include "picture/axis.h"

namespace lister {

namespace {

// What the decimators hold so far, as the plot shows it.
void Collect(const std::vector<picture::Decimator>& decimators, PlotData& data) {
    data.lines.clear();
    data.any = false;
    for (const picture::Decimator& decimator : decimators) {
        double least = 0, most = 0;
        if (decimator.Range(&least, &most)) {
            data.least = data.any ? std::min(data.least, least) : least;
            data.most = data.any ? std::max(data.most, most) : most;
            data.any = true;
        }
        data.lines.push_back(decimator.Columns());
    }
}

}  // namespace

PlotData ComputePlot(Document& document, size_t row, size_t columns, const PlotProgress& progress) {
    PlotData data;
    const VariableRow& variable = document.Rows()[row];
    if (!HasDrawableValues(variable) || columns == 0) return data;
    const bool vector = variable.dims.size() == 2 && (variable.dims[0] == 1 || variable.dims[1] == 1);
    const uint64_t m = vector ? variable.Elements() : variable.dims[0];
    const uint64_t lines = vector ? 1 : std::min<uint64_t>(variable.Elements() / m, kMaxLines);
    data.samples = m;
    std::vector<picture::Decimator> decimators;
    for (uint64_t i = 0; i < lines; ++i) decimators.emplace_back(std::min<size_t>(columns, m), 1.0, static_cast<double>(m));
    uint64_t k = 0, report = kFirstProgressValues;
    bool stopped = false;
    const bool whole = document.ForEachValue(row, 0, m * lines, [&](const double* values, size_t count) {
        // Each line's stretch of the batch at once: no division per value.
        for (size_t i = 0; i < count;) {
            const uint64_t line = k / m, index = k % m;
            const size_t run = static_cast<size_t>(std::min<uint64_t>(count - i, m - index));
            decimators[line].AddRun(static_cast<double>(index + 1), values + i, run);
            i += run;
            k += run;
        }
        if (progress && k >= report && k < m * lines) {
            report = k + kProgressValues;
            Collect(decimators, data);
            data.partial = true;
            stopped = !progress(data);
        }
        return !stopped;
    });
    data.damaged = !whole && !stopped;
    data.partial = stopped;
    Collect(decimators, data);
    return data;
}

std::vector<picture::Column> Rebin(const std::vector<picture::Column>& columns, size_t width) {
    if (width == 0 || columns.size() <= width) return columns;
    std::vector<picture::Column> merged(width);
    for (size_t i = 0; i < columns.size(); ++i) {
        const picture::Column& from = columns[i];
        picture::Column& to = merged[i * width / columns.size()];
        // A break inside one pixel column is not drawn; one before it is.
        if (from.count == 0) continue;
        if (to.count == 0) {
            to = from;
            continue;
        }
        to.least = std::min(to.least, from.least);
        to.most = std::max(to.most, from.most);
        to.last = from.last;
        to.count += from.count;
    }
    return merged;
}

namespace {

// The range a true-colour component of the class spans.
void ClassRange(const std::string& className, double* lo, double* hi) {
    struct Range { const char* name; double lo, hi; };
    static const Range kRanges[] = {
        {"uint8", 0, 255}, {"int8", -128, 127}, {"uint16", 0, 65535}, {"int16", -32768, 32767},
        {"uint32", 0, 4294967295.0}, {"int32", -2147483648.0, 2147483647.0},
        {"uint64", 0, 18446744073709551615.0}, {"int64", -9223372036854775808.0, 9223372036854775807.0},
    };
    for (const Range& range : kRanges) {
        if (className == range.name) {
            *lo = range.lo;
            *hi = range.hi;
            return;
        }
    }
    *lo = 0;   // double, single, logical: 0 .. 1
    *hi = 1;
}

}  // namespace

ImageData ComputeImage(Document& document, size_t row, bool trueColour, size_t side, const ImageProgress& progress) {
    ImageData data;
    const VariableRow& variable = document.Rows()[row];
    if (!HasDrawableValues(variable) || variable.dims.size() < 2 || side == 0) return data;
    const uint64_t m = variable.dims[0], n = variable.dims[1];
    const uint64_t page = m * n;
    data.pages = variable.Elements() / page;
    const uint64_t planes = trueColour ? 3 : 1;
    if (trueColour && (variable.dims.size() != 3 || variable.dims[2] != 3)) return data;
    // A larger matrix shrinks to fit, its shape kept.
    const uint64_t longest = std::max(m, n);
    data.height = static_cast<size_t>(longest <= side ? m : std::max<uint64_t>(1, m * side / longest));
    data.width = static_cast<size_t>(longest <= side ? n : std::max<uint64_t>(1, n * side / longest));
    const size_t cells = data.width * data.height;
    // Sums and counts column by column, as the values come: a column of the
    // matrix adds to one run of them, not to a pixel row each.
    std::vector<double> sums(cells * planes, 0.0);
    std::vector<uint32_t> counts(cells * planes, 0);
    double lo = 0, hi = 1;
    ClassRange(variable.className, &lo, &hi);
    // Each pixel the mean of the values that fell in it; none: NaN's colour.
    const auto paint = [&] {
        data.pixels.resize(cells);
        for (size_t x = 0, cell = 0; x < data.width; ++x) {
            for (size_t y = 0; y < data.height; ++y, ++cell) {
                picture::Rgb& pixel = data.pixels[y * data.width + x];
                if (!trueColour) {
                    const double mean = counts[cell] != 0 ? sums[cell] / counts[cell] : std::nan("");
                    pixel = picture::ScaledColour(mean, data.limits);
                    continue;
                }
                uint8_t level[3];
                for (size_t p = 0; p < 3; ++p) {
                    const size_t at = p * cells + cell;
                    level[p] = picture::Level(counts[at] != 0 ? sums[at] / counts[at] : std::nan(""), lo, hi);
                }
                pixel = picture::Rgb{level[0], level[1], level[2]};
            }
        }
    };
    uint64_t k = 0, report = kFirstProgressValues;
    bool stopped = false;
    // Where the next value falls, counted rather than divided for each of
    // 10^8 values: its plane, column and pixel row, and where that pixel row's
    // rows begin (pixel row p holds the rows r with r * height / m == p).
    std::vector<uint64_t> rowStarts(data.height + 1);
    for (size_t p = 0; p <= data.height; ++p) rowStarts[p] = std::min<uint64_t>(m, (p * m + data.height - 1) / data.height);
    uint64_t plane = 0, c = 0, r = 0;
    size_t cellRow = 0, cellColumn = 0;
    const bool whole = document.ForEachValue(row, 0, page * planes, [&](const double* values, size_t count) {
        for (size_t i = 0; i < count;) {
            while (rowStarts[cellRow + 1] <= r) ++cellRow;
            const size_t run = static_cast<size_t>(std::min<uint64_t>(count - i, rowStarts[cellRow + 1] - r));
            // The run of one column's rows that fall in one pixel.
            double sum = 0, least = 0, most = 0;
            uint32_t finite = 0;
            for (size_t j = i; j < i + run; ++j) {
                const double value = values[j];
                if (!std::isfinite(value)) continue;
                least = finite == 0 || value < least ? value : least;
                most = finite == 0 || value > most ? value : most;
                sum += value;
                ++finite;
            }
            if (finite != 0) {
                const size_t at = plane * cells + cellColumn * data.height + cellRow;
                sums[at] += sum;
                counts[at] += finite;
                if (!trueColour) {
                    data.limits.Add(least);
                    data.limits.Add(most);
                }
            }
            i += run;
            k += run;
            r += run;
            if (r == m) {
                r = 0;
                cellRow = 0;
                if (++c == n) {
                    c = 0;
                    ++plane;
                }
                cellColumn = static_cast<size_t>(c * data.width / n);
            }
        }
        if (progress && k >= report && k < page * planes) {
            report = k + kProgressValues;
            paint();
            data.partial = true;
            stopped = !progress(data);
        }
        return !stopped;
    });
    data.damaged = !whole && !stopped;
    data.partial = stopped;
    paint();
    return data;
}

std::string CellText(double value, const std::string& className) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "Inf" : "-Inf";
    // to_chars: the host's locale never turns the point into a comma.
    char text[64];
    const bool fraction = className == "double" || className == "single";
    const auto written = fraction ? std::to_chars(text, text + sizeof text, value, std::chars_format::general, 5)
                                  : std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, 0);
    return std::string(text, written.ptr);
}

}  // namespace lister

namespace lister {

PlotScene MakePlotScene(const PlotData& data, const std::string& name, int width, int height, int lineHeight,
                        TextWidthFn textWidth, void* context) {
    PlotScene scene;
    scene.title = name + (data.damaged ? "  (damaged: drawn as far as it reads)" : "") + (data.partial ? "  (reading ...)" : "");
    picture::Axis y = picture::MakeAxis(data.any ? data.least : 0, data.any ? data.most : 1);
    picture::LabelTicks(y);
    picture::Axis x = picture::MakeAxis(1, static_cast<double>(std::max<uint64_t>(data.samples, 1)));
    picture::LabelTicks(x);
    int widest = 0;
    for (const picture::Tick& tick : y.ticks) widest = std::max(widest, textWidth(context, tick.label));
    const int lastLabel = x.ticks.empty() ? 0 : textWidth(context, x.ticks.back().label);
    scene.left = widest + 12;
    scene.top = lineHeight + 8;
    scene.right = std::max(scene.left + 10, width - std::max(12, lastLabel / 2 + 4));
    scene.bottom = std::max(scene.top + 10, height - lineHeight - 10);
    scene.empty = !data.any;
    if (scene.empty) return scene;
    const double areaWidth = scene.right - scene.left, areaHeight = scene.bottom - scene.top;
    const auto toY = [&](double value) { return scene.bottom - (value - y.lo) / (y.hi - y.lo) * areaHeight; };
    for (const picture::Tick& tick : y.ticks) scene.valueTicks.push_back({toY(tick.value), tick.label});
    for (const picture::Tick& tick : x.ticks) {
        scene.indexTicks.push_back({scene.left + (tick.value - x.lo) / (x.hi - x.lo) * areaWidth, tick.label});
    }
    // Each data column spans areaWidth / columns pixels; the re-binned columns one each.
    for (const std::vector<picture::Column>& columns : data.lines) {
        const std::vector<picture::Column> pixels = Rebin(columns, static_cast<size_t>(std::max(1.0, areaWidth)));
        const double step = areaWidth / static_cast<double>(std::max<size_t>(pixels.size(), 1));
        std::vector<std::vector<PixelPoint>> polylines;
        for (const std::vector<picture::Point>& line : picture::Polylines(pixels)) {
            std::vector<PixelPoint> points;
            for (const picture::Point& point : line) points.push_back({scene.left + point.x * step, toY(point.y)});
            polylines.push_back(std::move(points));
        }
        scene.lines.push_back(std::move(polylines));
    }
    return scene;
}

std::vector<TickMark> ColourBarTicks(double lo, double hi, int top, int bottom) {
    std::vector<TickMark> marks;
    if (!(hi > lo)) return marks;
    picture::Axis axis = picture::MakeAxis(lo, hi);
    picture::LabelTicks(axis);
    for (const picture::Tick& tick : axis.ticks) {
        if (tick.value < lo || tick.value > hi) continue;
        marks.push_back({bottom - (tick.value - lo) / (hi - lo) * (bottom - top), tick.label});
    }
    return marks;
}

size_t PreferredVariable(const Document& document, const std::vector<size_t>& order) {
    size_t best = order.empty() ? 0 : order.front();
    uint64_t most = 0;
    for (size_t row : order) {
        const VariableRow& variable = document.Rows()[row];
        if (HasDrawableValues(variable) && variable.Elements() > most) {
            most = variable.Elements();
            best = row;
        }
    }
    return best;
}

std::string ViewTitle(const VariableRow& row, const std::vector<View>& views, size_t current) {
    std::string title = row.name + "  " + row.SizeText() + " " + row.className + "  \u2014";
    for (size_t i = 0; i < views.size(); ++i) {
        title += i == current ? std::string(" [") + ViewName(views[i]) + "]" : std::string(" ") + ViewName(views[i]);
    }
    return title + "   (Tab: next view)";
}

bool EscClosesHostWindow(const std::string& windowTitle, const std::string& path) {
    const auto base = [](const std::string& text) {
        const size_t slash = text.find_last_of("/\\");
        return slash == std::string::npos ? text : text.substr(slash + 1);
    };
    const std::string name = base(path);
    return !name.empty() && base(windowTitle) == name && windowTitle.rfind("Double Commander", 0) != 0;
}

}  // namespace lister
