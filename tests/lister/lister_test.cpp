// The lister plug-in as Double Commander's Qt build loads it: the built
// matwcx.wlx64 ($MATWCX_LISTER) opened with dlopen, handed a parent widget
// on Qt's offscreen platform, its window rendered to an image and checked;
// and what it draws, computed without a screen.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QFontMetrics>
#include <QHeaderView>
#include <QImage>
#include <QPlainTextEdit>
#include <QKeyEvent>
#include <QThread>
#include <QTableWidget>
#include <cmath>
#include <fstream>
#include <memory>
#include <set>

#include "lister/document.h"
#include "lister/plot_data.h"
#include "picture/colour.h"
#include "support/mat_builder.h"
#include "support/test_env.h"
#include "wcx/lister_api.h"

namespace {

using namespace matbuild;
constexpr Order kLE = Order::Little;

struct Lister {
    void* library = nullptr;
    HWND (*load)(HWND, WCHAR*, int) = nullptr;
    int (*loadNext)(HWND, HWND, WCHAR*, int) = nullptr;
    void (*close)(HWND) = nullptr;
    int (*search)(HWND, WCHAR*, int) = nullptr;
    int (*command)(HWND, int, int) = nullptr;
    void (*detect)(char*, int) = nullptr;

    Lister() {
        library = dlopen(testenv::Get("MATWCX_LISTER").c_str(), RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr) return;
        load = reinterpret_cast<decltype(load)>(dlsym(library, "ListLoadW"));
        loadNext = reinterpret_cast<decltype(loadNext)>(dlsym(library, "ListLoadNextW"));
        close = reinterpret_cast<decltype(close)>(dlsym(library, "ListCloseWindow"));
        search = reinterpret_cast<decltype(search)>(dlsym(library, "ListSearchTextW"));
        command = reinterpret_cast<decltype(command)>(dlsym(library, "ListSendCommand"));
        detect = reinterpret_cast<decltype(detect)>(dlsym(library, "ListGetDetectString"));
    }
    bool Ready() const { return load && loadNext && close && search && command && detect; }
};

std::u16string Utf16(const std::string& text) { return QString::fromStdString(text).toStdU16String(); }
WCHAR* W(std::u16string& text) { return reinterpret_cast<WCHAR*>(text.data()); }

// A signal with one sample far above the rest, a matrix with a NaN, an RGB
// picture, a struct and a text.
std::string WriteSample(const testenv::TempDir& dir, const std::string& name) {
    std::vector<double> signal(1000);
    for (size_t i = 0; i < signal.size(); ++i) signal[i] = std::sin(static_cast<double>(i) / 50.0);
    signal[500] = 100;
    std::vector<double> ramp(60 * 80);
    for (size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<double>(i);
    ramp[61] = std::nan("");
    std::vector<double> rgb(4 * 5 * 3, 0);
    for (size_t i = 0; i < 20; ++i) rgb[i] = 255;   // the red plane full: a red picture
    const Bytes file = File5(kLE, {NumericVar(kLE, "signal", mxDOUBLE, {1, 1000}, signal),
                                   NumericVar(kLE, "img", mxDOUBLE, {60, 80}, ramp),
                                   NumericVar(kLE, "rgb", mxUINT8, {4, 5, 3}, rgb),
                                   StructVar(kLE, "s", {1, 1}, {"field_to_find"}, {NumericVar(kLE, "", mxDOUBLE, {1, 1}, {7})}),
                                   CharVar(kLE, "label", "hello")});
    const std::string path = dir.file(name);
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
    return path;
}

// Runs first, before any test makes the QApplication: a host of another
// toolkit has none, and the lister declines there.
TEST(ListerHost, DeclinesWhereTheHostIsNoQtApplication) {
    Lister lister;
    ASSERT_TRUE(lister.Ready()) << dlerror();
    testenv::TempDir dir;
    std::u16string path = Utf16(WriteSample(dir, "a.mat"));
    int fakeParent = 0;
    EXPECT_EQ(lister.load(reinterpret_cast<HWND>(&fakeParent), W(path), 0), nullptr);
    char detect[16];
    lister.detect(detect, sizeof detect);
    EXPECT_STREQ(detect, "EXT=\"MAT\"");
    lister.detect(detect, 5);   // too short: nothing rather than a cut string
    EXPECT_STREQ(detect, "");
}

class ListerWindowTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        static int argc = 1;
        static char name[] = "test_lister";
        static char* argv[] = {name, nullptr};
        if (QApplication::instance() == nullptr) new QApplication(argc, argv);
    }
    void SetUp() override {
        ASSERT_TRUE(lister.Ready());
        parent = std::make_unique<QWidget>();
        parent->resize(1000, 600);
        path = WriteSample(dir, "sample.mat");
        std::u16string wide = Utf16(path);
        window = static_cast<QWidget*>(lister.load(reinterpret_cast<HWND>(parent.get()), W(wide), 0));
        ASSERT_NE(window, nullptr);
        window->resize(1000, 600);
    }
    void TearDown() override {
        if (window != nullptr) lister.close(reinterpret_cast<HWND>(window));
    }
    QTableWidget* Whos() { return window->findChild<QTableWidget*>("whos"); }
    void Select(const QString& name) {
        QTableWidget* whos = Whos();
        for (int i = 0; i < whos->rowCount(); ++i) {
            if (whos->item(i, 0)->text() == name) whos->selectRow(i);
        }
    }
    // Plots and images are computed on a thread of their own: until both
    // views say they are done (a bound against a hang, not a timing).
    void Settle() {
        for (int i = 0; i < 6000; ++i) {
            QApplication::processEvents();
            const bool busy = window->findChild<QWidget*>("plot")->property("busy").toBool() ||
                              window->findChild<QWidget*>("image")->property("busy").toBool();
            if (!busy) return;
            QThread::msleep(10);
        }
        ADD_FAILURE() << "the lister's pass did not end";
    }
    QImage Render(const char* view) {
        Settle();
        QWidget* widget = window->findChild<QWidget*>(view);
        return widget != nullptr && widget->isVisibleTo(window) ? widget->grab().toImage() : QImage();
    }

    Lister lister;
    testenv::TempDir dir;
    std::unique_ptr<QWidget> parent;
    QWidget* window = nullptr;
    std::string path;
};

TEST_F(ListerWindowTest, ListsTheVariablesAsWhosDoesAndOpensOnTheFirstPicture) {
    EXPECT_EQ(window->parentWidget(), parent.get());
    QTableWidget* whos = Whos();
    ASSERT_NE(whos, nullptr);
    ASSERT_EQ(whos->rowCount(), 5);
    // In whos's order (by name, case aside), whatever the file's.
    const char* expected[][5] = {{"img", "60x80", "38400", "double", ""},  {"label", "1x5", "10", "char", ""},
                                 {"rgb", "4x5x3", "60", "uint8", ""},      {"s", "1x1", "8", "struct", ""},
                                 {"signal", "1x1000", "8000", "double", ""}};
    for (int i = 0; i < 5; ++i) {
        for (int column = 0; column < 5; ++column) EXPECT_EQ(whos->item(i, column)->text().toStdString(), expected[i][column]);
    }
    EXPECT_EQ(whos->currentRow(), 0);   // img: the largest that can be drawn
    whos->horizontalHeader()->setSortIndicator(2, Qt::DescendingOrder);
    EXPECT_EQ(whos->item(0, 0)->text(), "img");
    EXPECT_EQ(whos->item(1, 0)->text(), "signal");
    EXPECT_EQ(whos->currentRow(), 0);   // still img, where it now stands
    Select("signal");
    // The plot: line pixels across the width, and the peak kept at the top.
    const QImage plot = Render("plot");
    ASSERT_FALSE(plot.isNull());
    const QRgb line = qRgb(0, 114, 189);
    int top = plot.height(), columns = 0;
    for (int x = 0; x < plot.width(); ++x) {
        bool any = false;
        for (int y = 0; y < plot.height(); ++y) {
            if (plot.pixel(x, y) == line) {
                any = true;
                top = std::min(top, y);
            }
        }
        columns += any;
    }
    EXPECT_GT(columns, plot.width() / 2);
    EXPECT_LT(top, plot.height() / 8);   // 100 against values within +-1: only the peak reaches up there
    // The variable's name over the plot: black text above the plot's frame.
    int ink = 0;
    for (int y = 0; y < QFontMetrics(window->font()).height(); ++y) {
        for (int x = 0; x < plot.width(); ++x) {
            const QColor c = plot.pixelColor(x, y);
            ink += c.red() < 80 && c.green() < 80 && c.blue() < 80;
        }
    }
    EXPECT_GT(ink, 10);
}

TEST_F(ListerWindowTest, ShowsAMatrixAsAnImageWithItsColourBarAndAnRgbArrayAsItsPicture) {
    Select("img");
    const QImage image = Render("image");
    ASSERT_FALSE(image.isNull());
    std::set<QRgb> colours;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) colours.insert(image.pixel(x, y));
    }
    const auto rgb = [](picture::Rgb c) { return qRgb(c.r, c.g, c.b); };
    EXPECT_TRUE(colours.count(rgb(picture::kViridis.front())));
    EXPECT_TRUE(colours.count(rgb(picture::kViridis.back())));
    EXPECT_TRUE(colours.count(rgb(picture::kNaNColour)));

    Select("rgb");
    const QImage picture = Render("image");
    ASSERT_FALSE(picture.isNull());
    const QRgb centre = picture.pixel(picture.width() / 2, picture.height() / 2);
    EXPECT_EQ(centre, qRgb(255, 0, 0));
}

TEST_F(ListerWindowTest, TabGoesToTheGridWhoseSelectionCopiesForASpreadsheet) {
    const auto key = [](QWidget* to, int code, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        QKeyEvent press(QEvent::KeyPress, code, modifiers);
        QApplication::sendEvent(to, &press);
    };
    const auto copied = [this] {
        EXPECT_EQ(lister.command(reinterpret_cast<HWND>(window), lc_copy, 0), LISTPLUGIN_OK);
        return QApplication::clipboard()->text().toStdString();
    };
    Select("img");
    QWidget* grid = window->findChild<QWidget*>("grid");
    ASSERT_NE(grid, nullptr);
    // Tab to the view in sight, until the grid is.
    const auto shown = [this] {
        for (const char* name : {"plot", "image", "grid", "text"}) {
            QWidget* view = window->findChild<QWidget*>(name);
            if (view->isVisibleTo(window)) return view;
        }
        return static_cast<QWidget*>(nullptr);
    };
    for (int i = 0; i < 3 && !grid->isVisibleTo(window); ++i) key(shown(), Qt::Key_Tab);
    ASSERT_TRUE(grid->isVisibleTo(window));
    key(grid, Qt::Key_Right, Qt::ShiftModifier);
    key(grid, Qt::Key_Down, Qt::ShiftModifier);
    EXPECT_EQ(copied(), "0\t60\n1\tNaN\n");
    key(grid, Qt::Key_End, Qt::ControlModifier);   // the last cell: (60,80)
    EXPECT_EQ(copied(), "4799\n");
    // A row vector stands as a column: its last cell is on its own line.
    Select("signal");
    for (int i = 0; i < 3 && !grid->isVisibleTo(window); ++i) key(shown(), Qt::Key_Tab);
    ASSERT_TRUE(grid->isVisibleTo(window));
    key(grid, Qt::Key_End, Qt::ControlModifier);
    key(grid, Qt::Key_Up, Qt::ShiftModifier);
    EXPECT_EQ(copied(), lister::CellText(std::sin(998 / 50.0), "double") + "\n" + lister::CellText(std::sin(999 / 50.0), "double") + "\n");
}

TEST_F(ListerWindowTest, EscClosesTheViewerWindowButNeverTheMainWindow) {
    // Double Commander's viewer is titled with the file's path (~ for the
    // home folder); quick view sits in the main window.
    const std::string name = path.substr(path.find_last_of("/\\") + 1);
    for (const auto& [title, closes] : std::vector<std::pair<std::string, bool>>{
             {"Double Commander", false}, {"Double Commander - " + path, false}, {"other.mat", false},
             {path, true}, {"~/" + name, true}}) {
        parent->setWindowTitle(QString::fromStdString(title));
        parent->show();
        QKeyEvent esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
        QApplication::sendEvent(Whos(), &esc);
        QApplication::processEvents();   // the close comes after the key's handler
        EXPECT_EQ(parent->isVisible(), !closes) << title;
    }
}

TEST_F(ListerWindowTest, SearchFindsTheTextAndANextFileReusesTheWindow) {
    Select("s");
    std::u16string wanted = Utf16("field_to_find"), missing = Utf16("not there");
    EXPECT_EQ(lister.search(reinterpret_cast<HWND>(window), W(wanted), lcs_findfirst), LISTPLUGIN_OK);
    auto* text = window->findChild<QPlainTextEdit*>("text");
    EXPECT_EQ(text->textCursor().selectedText().toStdString(), "field_to_find");
    EXPECT_EQ(lister.search(reinterpret_cast<HWND>(window), W(missing), lcs_findfirst), LISTPLUGIN_ERROR);

    const Bytes other = File5(kLE, {NumericVar(kLE, "only", mxDOUBLE, {1, 1}, {1})});
    const std::string next = dir.file("next.mat");
    std::ofstream(next, std::ios::binary).write(reinterpret_cast<const char*>(other.data()), static_cast<std::streamsize>(other.size()));
    std::u16string nextWide = Utf16(next);
    ASSERT_EQ(lister.loadNext(reinterpret_cast<HWND>(parent.get()), reinterpret_cast<HWND>(window), W(nextWide), 0), LISTPLUGIN_OK);
    ASSERT_EQ(Whos()->rowCount(), 1);
    EXPECT_EQ(Whos()->item(0, 0)->text(), "only");
    // Not a MAT-file: the host closes the window and tries another lister.
    const std::string plain = dir.file("plain.txt");
    std::ofstream(plain) << "just text\n";
    std::u16string plainWide = Utf16(plain);
    EXPECT_EQ(lister.loadNext(reinterpret_cast<HWND>(parent.get()), reinterpret_cast<HWND>(window), W(plainWide), 0), LISTPLUGIN_ERROR);
}

// ---- what is drawn, without a screen ------------------------------------------

TEST(ListerPictures, PlotColumnsKeepEveryExtremeWhenMergedToTheWindowsWidth) {
    testenv::TempDir dir;
    std::string why;
    auto document = lister::Document::Open(WriteSample(dir, "a.mat"), &why);
    ASSERT_TRUE(document) << why;
    const lister::PlotData plot = lister::ComputePlot(*document, 0, lister::kPlotColumns);
    ASSERT_TRUE(plot.any);
    EXPECT_EQ(plot.samples, 1000u);
    EXPECT_EQ(plot.most, 100);
    for (size_t width : {1u, 7u, 333u, 1000u}) {
        const auto merged = lister::Rebin(plot.lines[0], width);
        ASSERT_EQ(merged.size(), width);
        double most = -1e300, least = 1e300;
        uint64_t count = 0;
        for (const auto& column : merged) {
            if (column.count == 0) continue;
            most = std::max(most, column.most);
            least = std::min(least, column.least);
            count += column.count;
        }
        EXPECT_EQ(most, 100) << width;
        EXPECT_EQ(least, plot.least) << width;
        EXPECT_EQ(count, 1000u) << width;
    }
    // A matrix's image: imagesc's limits of the finite values, the NaN its own colour.
    const lister::ImageData image = lister::ComputeImage(*document, 1, false, 1024);
    EXPECT_EQ(image.width, 80u);
    EXPECT_EQ(image.height, 60u);
    EXPECT_EQ(image.limits.lo, 0);
    EXPECT_EQ(image.limits.hi, 4799);
    EXPECT_EQ(image.pixels[1 * 80 + 1], picture::kNaNColour);
    EXPECT_EQ(image.pixels[59 * 80 + 79], picture::kViridis.back());
    const lister::ImageData halved = lister::ComputeImage(*document, 1, false, 40);
    EXPECT_EQ(halved.width, 40u);
    EXPECT_EQ(halved.height, 30u);
}

TEST(ListerPictures, GridCellsAreWrittenAsMatlabShowsThem) {
    const struct { double value; const char* className; const char* text; } cases[] = {
        {0.1, "double", "0.1"}, {1.0 / 3, "double", "0.33333"}, {123456789, "double", "1.2346e+08"},
        {-2, "int8", "-2"}, {4294967295.0, "uint32", "4294967295"}, {1, "logical", "1"},
        {std::nan(""), "single", "NaN"}, {-INFINITY, "double", "-Inf"},
    };
    for (const auto& c : cases) EXPECT_EQ(lister::CellText(c.value, c.className), c.text) << c.value;
}

}  // namespace
