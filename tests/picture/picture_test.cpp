// The platform-neutral model of what plots, pictures and grids show.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "picture/axis.h"
#include "picture/colour.h"
#include "picture/decimate.h"
#include "picture/grid.h"
#include "picture/plot.h"
#include "picture/png.h"
#include "picture/whos.h"
#include "reader/whos_table.h"
#include "support/mat_builder.h"
#include "support/support.h"

namespace {

std::vector<std::string> Labels(const picture::Axis& axis) {
    std::vector<std::string> labels;
    for (const picture::Tick& tick : axis.ticks) labels.push_back(tick.label);
    return labels;
}

TEST(Axis, RoundTicksAndLabelsThatTellThemApart) {
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        double lo, hi;
        std::vector<std::string> labels;
    };
    const Case cases[] = {
        {0, 1, {"0.0", "0.2", "0.4", "0.6", "0.8", "1.0"}},
        {1, 100, {"20", "40", "60", "80", "100"}},
        {-3, 7, {"-2", "0", "2", "4", "6"}},
        {7, -3, {"-2", "0", "2", "4", "6"}},                 // ends the other way round
        {5, 5, {"4.6", "4.8", "5.0", "5.2", "5.4"}},         // one value: widened around it
        {0, 0, {"-1.0", "-0.5", "0.0", "0.5", "1.0"}},
        {1e8, 3e8, {"1.0e+08", "1.5e+08", "2.0e+08", "2.5e+08", "3.0e+08"}},
        {0, 4e-7, {"0e+00", "1e-07", "2e-07", "3e-07", "4e-07"}},
        {-1e308, 1e308, {"-1e+308", "-5e+307", "0e+00", "5e+307", "1e+308"}},   // the span overflows
        {1e16, 1e16 + 4, {"1.0000000000000000e+16", "1.0000000000000002e+16", "1.0000000000000004e+16"}},
        {-inf, 1, {}},
    };
    for (const Case& c : cases) {
        const picture::Axis axis = picture::MakeAxis(c.lo, c.hi);
        EXPECT_EQ(Labels(axis), c.labels) << c.lo << " .. " << c.hi;
        for (size_t i = 0; i < axis.ticks.size(); ++i) {
            EXPECT_GE(axis.ticks[i].value, axis.lo);
            EXPECT_LE(axis.ticks[i].value, axis.hi);
            if (i > 0) {
                EXPECT_GT(axis.ticks[i].value, axis.ticks[i - 1].value);
            }
        }
    }
    // Denormal ends: a tick, never a loop or a division by zero.
    EXPECT_FALSE(picture::MakeAxis(4.9e-324, 1e-323).ticks.empty());
}

TEST(Decimation, KeepsEveryColumnsExtremesAndBreaksAtNaN) {
    // 10^5 samples into 100 columns: one peak sample and one dip survive.
    picture::Decimator line(100, 0, 99999);
    for (int i = 0; i < 100000; ++i) line.Add(i, i == 54321 ? 1e6 : i == 777 ? -5 : std::sin(i * 0.001));
    const std::vector<picture::Column>& columns = line.Columns();
    ASSERT_EQ(columns.size(), 100u);
    EXPECT_EQ(columns[54].most, 1e6);
    EXPECT_EQ(columns[0].least, -5);
    uint64_t counted = 0;
    for (const picture::Column& column : columns) counted += column.count;
    EXPECT_EQ(counted, 100000u);
    double least = 0, most = 0;
    ASSERT_TRUE(line.Range(&least, &most));
    EXPECT_EQ(least, -5);
    EXPECT_EQ(most, 1e6);
    // At most two points per column, and the peak among them.
    size_t points = 0;
    bool peak = false;
    for (const auto& stretch : picture::Polylines(columns)) {
        points += stretch.size();
        for (const picture::Point& p : stretch) peak = peak || p.y == 1e6;
    }
    EXPECT_LE(points, 200u);
    EXPECT_TRUE(peak);

    // A NaN between columns splits the line; x beyond the range stays inside.
    picture::Decimator gapped(4, 0, 3);
    const double nan = std::nan("");
    for (const auto& [x, y] : std::vector<std::pair<double, double>>{{0, 1}, {1, 2}, {1.5, nan}, {2, 3}, {3, 4}, {9, 5}, {nan, 1}}) {
        gapped.Add(x, y);
    }
    const auto stretches = picture::Polylines(gapped.Columns());
    ASSERT_EQ(stretches.size(), 2u);
    EXPECT_EQ(stretches[0].size(), 2u);
    EXPECT_EQ(gapped.Columns()[3].most, 5);
    double lo = 0, hi = 0;
    EXPECT_FALSE(picture::Decimator(3, 0, 1).Range(&lo, &hi));
}

TEST(Decimation, RunsGiveWhatSampleBySampleGives) {
    // Column edges that fall between samples, fewer samples than columns,
    // NaN and Inf inside a run, and runs cut anywhere: the same columns.
    const double nan = std::nan(""), inf = std::numeric_limits<double>::infinity();
    struct Case { size_t columns, samples, piece; std::vector<std::pair<size_t, double>> odd; };
    for (const Case& c : std::vector<Case>{{7, 1000, 1000, {}},
                                           {4096, 100003, 777, {{5, nan}, {6, nan}, {40000, inf}, {99999, -inf}}},
                                           {100, 37, 5, {{0, nan}, {36, inf}}},
                                           {3, 1, 1, {}},
                                           {1, 50, 13, {{25, nan}}}}) {
        std::vector<double> ys(c.samples);
        for (size_t i = 0; i < ys.size(); ++i) ys[i] = std::sin(static_cast<double>(i) * 0.37) * 100;
        for (const auto& [at, value] : c.odd) ys[at] = value;
        picture::Decimator one(c.columns, 1, static_cast<double>(c.samples)), runs = one;
        for (size_t i = 0; i < ys.size(); ++i) one.Add(static_cast<double>(i + 1), ys[i]);
        for (size_t i = 0; i < ys.size(); i += c.piece) {
            runs.AddRun(static_cast<double>(i + 1), ys.data() + i, std::min(c.piece, ys.size() - i));
        }
        SCOPED_TRACE(testing::Message() << c.columns << " columns, " << c.samples << " samples");
        for (size_t k = 0; k < c.columns; ++k) {
            const picture::Column &a = one.Columns()[k], &b = runs.Columns()[k];
            ASSERT_EQ(a.count, b.count) << "column " << k;
            if (a.count == 0) continue;
            EXPECT_EQ(a.first, b.first);
            EXPECT_EQ(a.last, b.last);
            EXPECT_EQ(a.least, b.least);
            EXPECT_EQ(a.most, b.most);
            EXPECT_EQ(a.gapBefore, b.gapBefore) << "column " << k;
        }
        double lo1 = 0, hi1 = 0, lo2 = 0, hi2 = 0;
        EXPECT_EQ(one.Range(&lo1, &hi1), runs.Range(&lo2, &hi2));
        EXPECT_EQ(lo1, lo2);
        EXPECT_EQ(hi1, hi2);
    }
}

TEST(Colour, MapEndsMiddleAndNaN) {
    picture::ColourLimits limits;
    for (const double v : {3.0, -1.0, std::nan(""), std::numeric_limits<double>::infinity(), 7.0}) limits.Add(v);
    EXPECT_EQ(limits.lo, -1);
    EXPECT_EQ(limits.hi, 7);
    const picture::Rgb first{68, 1, 84}, last{253, 231, 37};
    struct Case {
        double value;
        picture::Rgb colour;
    };
    for (const Case& c : {Case{-1, first}, Case{7, last}, Case{-1e300, first}, Case{-std::numeric_limits<double>::infinity(), first},
                          Case{1e300, last}, Case{std::nan(""), picture::kNaNColour}, Case{3, picture::kViridis[128]}}) {
        EXPECT_EQ(picture::ScaledColour(c.value, limits), c.colour) << c.value;
    }
    picture::ColourLimits flat;
    flat.Add(2);
    EXPECT_EQ(picture::ScaledColour(2, flat), picture::kViridis[128]);
    for (const picture::Rgb& c : picture::kViridis) EXPECT_NE(c, picture::kNaNColour);

    struct LevelCase {
        double value, lo, hi;
        uint8_t level;
    };
    for (const LevelCase& c : {LevelCase{200, 0, 255, 200}, LevelCase{0.5, 0, 1, 128}, LevelCase{1.5, 0, 1, 255},
                               LevelCase{-0.1, 0, 1, 0}, LevelCase{std::nan(""), 0, 1, 0}, LevelCase{0, -128, 127, 128},
                               LevelCase{65535, 0, 65535, 255}}) {
        EXPECT_EQ(picture::Level(c.value, c.lo, c.hi), c.level) << c.value;
    }
}

TEST(Grid, WindowsClipAtTheEdges) {
    struct Case {
        uint64_t m, n, top, left, rows, columns;
        picture::GridWindow expected;
    };
    const Case cases[] = {
        {100, 50, 10, 5, 20, 8, {10, 20, 5, 8}},
        {100, 50, 95, 48, 20, 8, {80, 20, 42, 8}},     // past the bottom right: moved back inside
        {3, 2, 0, 0, 20, 8, {0, 3, 0, 2}},             // larger than the matrix: all of it
        {0, 5, 0, 0, 20, 8, {0, 0, 0, 0}},
        {7, 7, 3, 3, 0, 4, {0, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        const picture::GridWindow w = picture::Window(c.m, c.n, c.top, c.left, c.rows, c.columns);
        EXPECT_EQ(std::vector<uint64_t>({w.firstRow, w.rows, w.firstColumn, w.columns}),
                  std::vector<uint64_t>({c.expected.firstRow, c.expected.rows, c.expected.firstColumn, c.expected.columns}))
            << c.m << "x" << c.n << " at " << c.top << "," << c.left;
    }
    const std::vector<picture::ElementRun> runs = picture::Runs(100, picture::Window(100, 50, 95, 48, 20, 2));
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0].first, 48u * 100 + 80);
    EXPECT_EQ(runs[1].first, 49u * 100 + 80);
    EXPECT_EQ(runs[1].count, 20u);
}

TEST(Whos, SizesAndEachColumnsOrder) {
    std::vector<picture::WhosRow> rows = {
        {"beta", {3, 4}, 96, "double", ""},
        {"Alpha", {1, 1}, 8, "double", "global"},
        {"alpha", {2, 3, 4}, 24, "uint8", ""},
        {"z", {12, 1}, 96, "cell", "complex"},
    };
    EXPECT_EQ(picture::SizeText(rows[0].dimensions), "3x4");
    EXPECT_EQ(picture::SizeText(rows[2].dimensions), "2x3x4");
    const auto names = [&] {
        std::string text;
        for (const picture::WhosRow& row : rows) text += row.name + " ";
        return text;
    };
    struct Case {
        picture::WhosColumn column;
        bool ascending;
        std::string order;
    };
    for (const Case& c : {Case{picture::WhosColumn::Name, true, "Alpha alpha beta z "},
                          Case{picture::WhosColumn::Size, true, "Alpha beta z alpha "},   // 12 elements: 3x4 before 12x1
                          Case{picture::WhosColumn::Bytes, false, "beta z alpha Alpha "},
                          Case{picture::WhosColumn::Class, true, "z beta Alpha alpha "},
                          Case{picture::WhosColumn::Attributes, false, "Alpha z beta alpha "}}) {
        picture::SortWhos(rows, c.column, c.ascending);
        EXPECT_EQ(names(), c.order) << static_cast<int>(c.column);
    }
}

// The table from the headers: MATLAB's sizes, whos's bytes (both parts of
// a complex array) and attributes, at most the rows asked for.
TEST(Whos, RowsFromTheVariablesHeaders) {
    using namespace matbuild;
    const Order o = Order::Little;
    testenv::TempDir dir;
    const std::string path = dir.file("w.mat");
    WriteFile(path, File5(o, {
        NumericVar(o, "A", mxDOUBLE, {3, 4}, std::vector<double>(12, 1)),
        NumericVar(o, "z", mxINT16, {2, 1, 2}, {1, 2, 3, 4}, {0, 1, 0, 1}, kGlobal),
        CharVar(o, "c", "abc"),
    }));
    std::vector<picture::WhosRow> rows;
    ASSERT_TRUE(ReadWhosTable(path.c_str(), 2, &rows));
    ASSERT_EQ(rows.size(), 2u);
    const auto text = [](const picture::WhosRow& r) {
        return r.name + " " + picture::SizeText(r.dimensions) + " " + std::to_string(r.bytes) + " " + r.className + " " + r.attributes;
    };
    EXPECT_EQ(text(rows[0]), "A 3x4 96 double ");
    EXPECT_EQ(text(rows[1]), "z 2x1x2 16 int16 global, complex");
    rows.clear();
    ASSERT_TRUE(ReadWhosTable(path.c_str(), 10, &rows));
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(text(rows.back()), "c 1x3 6 char ");
    EXPECT_FALSE(ReadWhosTable(dir.file("none.mat").c_str(), 10, &rows));
}

// A plot of 1000 zeros with one peak of 10: the SVG's title escaped, and the
// raster's line reaching the rows of both values.
TEST(Plot, ThePeakIsDrawnAndTheTitleEscaped) {
    picture::LinePlot plot;
    plot.title = "a<b&";
    plot.width = 200;
    plot.height = 100;
    const picture::Frame f = picture::PlotFrame(plot.width, plot.height);
    plot.x = picture::IndexAxis(1000);
    std::vector<picture::Decimator> lines(1, picture::Decimator(f.width, plot.x.lo, plot.x.hi));
    for (int i = 1; i <= 1000; ++i) lines[0].Add(i, i == 500 ? 10 : 0);
    plot.y = picture::ValueAxis(lines);
    plot.lines.push_back(lines[0].Columns());
    EXPECT_NE(picture::Svg(plot).find("<title>a&lt;b&amp;</title>"), std::string::npos);
    const std::vector<picture::Rgb> pixels = picture::Raster(plot);
    ASSERT_EQ(pixels.size(), 200u * 100u);
    const auto drawn = [&](double value) {
        const int y = static_cast<int>(f.top + (plot.y.hi - value) / (plot.y.hi - plot.y.lo) * f.height);
        int count = 0;
        for (int x = f.left + 1; x < f.left + f.width; ++x) count += pixels[static_cast<size_t>(y) * 200 + x] == picture::LineColour(0);
        return count;
    };
    EXPECT_GE(drawn(10), 1);
    EXPECT_GE(drawn(0), f.width - 4);
}

TEST(Png, CountsRowsAndStopsWhenTheSinkFails) {
    std::string bytes;
    picture::PngWriter png(2, 2, [&](const uint8_t* data, size_t count) {
        bytes.append(reinterpret_cast<const char*>(data), count);
        return true;
    });
    const picture::Rgb row[2] = {{1, 2, 3}, {4, 5, 6}};
    EXPECT_TRUE(png.Row(row));
    EXPECT_FALSE(png.Finish());   // a row is missing
    picture::PngWriter full(1, 1, [](const uint8_t*, size_t) { return false; });
    EXPECT_FALSE(full.Row(row));
    EXPECT_FALSE(full.Finish());
    picture::PngWriter empty(0, 5, [](const uint8_t*, size_t) { return true; });
    EXPECT_FALSE(empty.Finish());
}

}  // namespace
