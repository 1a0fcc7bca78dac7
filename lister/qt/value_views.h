// The views of one variable's values in the Qt window: the grid's model
// (it reads only the cells in sight), the line plot and the image. They
// paint what picture/ computes from one streaming pass over the values.
#pragma once

#include <QAbstractScrollArea>
#include <QImage>
#include <QWidget>
#include <atomic>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "lister/document.h"
#include "lister/grid_cells.h"
#include "lister/plot_data.h"

namespace lister {

// A grid of any size that paints only the cells in sight: Qt's item views
// keep a record per row and column, which a vector of 10^8 values would
// make a gigabyte. Arrows, pages, Home and End move the current cell;
// Shift (or dragging) selects a rectangle.
class GridView : public QAbstractScrollArea {
public:
    explicit GridView(QWidget* parent);
    void Show(std::unique_ptr<GridCells> cells);
    void Clear();
    void SelectAll();
    // The selected cells as a spreadsheet takes them: tab between columns,
    // a line per row; at most a million cells.
    QString SelectionText();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;

private:
    uint64_t TopRow() const;
    uint64_t LeftColumn() const;
    uint64_t VisibleRows() const;
    uint64_t VisibleColumns() const;
    void UpdateScrollBars();
    void MoveTo(uint64_t row, uint64_t column, bool extend);
    bool CellAt(const QPoint& point, uint64_t* row, uint64_t* column) const;

    std::unique_ptr<GridCells> cells_;
    uint64_t currentRow_ = 0, currentColumn_ = 0, anchorRow_ = 0, anchorColumn_ = 0;
    int cellWidth_ = 0, cellHeight_ = 0, headerWidth_ = 0;
};

// One pass over a variable's values on a thread of its own, over a handle of
// its own on the file: the window stays live while a gigabyte is read, and
// shows what is computed so far. A new pass, or the view's end, stops the
// one running and waits for it (it stops within one batch of values).
class BackgroundPass {
public:
    ~BackgroundPass() { Stop(); }
    void Start(std::function<void(const std::atomic<bool>& stop)> job);
    void Stop();

private:
    std::thread thread_;
    std::atomic<bool> stop_{false};
};

class PlotView : public QWidget {
public:
    explicit PlotView(QWidget* parent);
    void Show(Document* document, size_t row);
    void Clear();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void Take(const PlotData& data, bool done, uint64_t generation);
    uint64_t generation_ = 0;   // of the variable in view

    Document* document_ = nullptr;
    size_t row_ = 0;
    PlotData data_;   // computed once per variable; painted at any size
    BackgroundPass pass_;
};

class ImageView : public QWidget {
public:
    explicit ImageView(QWidget* parent);
    void Show(Document* document, size_t row, bool trueColour);
    void Clear();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void Take(const ImageData& data, const std::string& name, bool done, uint64_t generation);
    uint64_t generation_ = 0;

    QImage image_;
    BackgroundPass pass_;
    double lo_ = 0, hi_ = 0;
    bool limits_ = false, trueColour_ = false, damaged_ = false;
    QString caption_;
};

}  // namespace lister
