// The grid, plot and image of one variable, painted with Qt from what
// lister/ reads and picture/ computes.
#include "lister/qt/value_views.h"

#include <QFontMetrics>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QScrollBar>
#include <QPainter>
#include <QPainterPath>
#include <algorithm>
#include <cmath>

#include "lister/plot_data.h"
#include "picture/colour.h"

namespace lister {

// ---- grid -------------------------------------------------------------------

namespace {
// A scroll bar's range is an int: a longer axis moves in steps of several cells.
constexpr uint64_t kScrollSteps = 1u << 30;
constexpr uint64_t kMaxCopiedCells = 1000000;

uint64_t StepCells(uint64_t count) { return count <= kScrollSteps ? 1 : (count + kScrollSteps - 1) / kScrollSteps; }
}  // namespace

GridView::GridView(QWidget* parent) : QAbstractScrollArea(parent) {
    setObjectName("grid");
    setFocusPolicy(Qt::StrongFocus);
    const QFontMetrics metrics(font());
    cellWidth_ = metrics.horizontalAdvance("-0.00000e+000") + 12;
    cellHeight_ = metrics.height() + 6;
}

void GridView::Show(std::unique_ptr<GridCells> cells) {
    cells_ = std::move(cells);
    currentRow_ = currentColumn_ = anchorRow_ = anchorColumn_ = 0;
    headerWidth_ = QFontMetrics(font()).horizontalAdvance(QString::number(static_cast<qulonglong>(cells_->Rows())) + "0") + 8;
    verticalScrollBar()->setValue(0);
    horizontalScrollBar()->setValue(0);
    UpdateScrollBars();
    viewport()->update();
}

void GridView::Clear() {
    cells_.reset();
    viewport()->update();
}

uint64_t GridView::TopRow() const { return cells_ ? static_cast<uint64_t>(verticalScrollBar()->value()) * StepCells(cells_->Rows()) : 0; }

uint64_t GridView::LeftColumn() const {
    return cells_ ? static_cast<uint64_t>(horizontalScrollBar()->value()) * StepCells(cells_->Columns()) : 0;
}

uint64_t GridView::VisibleRows() const { return static_cast<uint64_t>(std::max(1, (viewport()->height() - cellHeight_) / cellHeight_)); }

uint64_t GridView::VisibleColumns() const {
    return static_cast<uint64_t>(std::max(1, (viewport()->width() - headerWidth_) / cellWidth_));
}

void GridView::UpdateScrollBars() {
    if (!cells_) return;
    const auto range = [](uint64_t count, uint64_t visible) {
        const uint64_t last = count > visible ? count - visible : 0;
        return static_cast<int>(std::min<uint64_t>((last + StepCells(count) - 1) / StepCells(count), kScrollSteps));
    };
    verticalScrollBar()->setRange(0, range(cells_->Rows(), VisibleRows()));
    verticalScrollBar()->setPageStep(static_cast<int>(std::min<uint64_t>(VisibleRows(), kScrollSteps)));
    horizontalScrollBar()->setRange(0, range(cells_->Columns(), VisibleColumns()));
    horizontalScrollBar()->setPageStep(static_cast<int>(std::min<uint64_t>(VisibleColumns(), kScrollSteps)));
}

void GridView::resizeEvent(QResizeEvent* event) {
    QAbstractScrollArea::resizeEvent(event);
    UpdateScrollBars();
}

void GridView::scrollContentsBy(int, int) { viewport()->update(); }

void GridView::paintEvent(QPaintEvent*) {
    QPainter painter(viewport());
    painter.fillRect(viewport()->rect(), Qt::white);
    if (!cells_ || cells_->Rows() == 0) return;
    const uint64_t top = TopRow(), left = LeftColumn();
    const uint64_t rows = std::min(VisibleRows() + 1, cells_->Rows() - std::min(top, cells_->Rows()));
    const uint64_t columns = std::min(VisibleColumns() + 1, cells_->Columns() - std::min(left, cells_->Columns()));
    const uint64_t selTop = std::min(anchorRow_, currentRow_), selBottom = std::max(anchorRow_, currentRow_);
    const uint64_t selLeft = std::min(anchorColumn_, currentColumn_), selRight = std::max(anchorColumn_, currentColumn_);
    const QColor header(235, 235, 235), selected = palette().color(QPalette::Highlight);
    painter.fillRect(QRect(0, 0, viewport()->width(), cellHeight_), header);
    painter.fillRect(QRect(0, 0, headerWidth_, viewport()->height()), header);
    painter.setPen(QColor(120, 120, 120));
    for (uint64_t j = 0; j < columns; ++j) {
        const QRect box(headerWidth_ + static_cast<int>(j) * cellWidth_, 0, cellWidth_, cellHeight_);
        painter.drawText(box, Qt::AlignCenter, QString::number(static_cast<qulonglong>(left + j + 1)));
    }
    for (uint64_t i = 0; i < rows; ++i) {
        const int y = cellHeight_ * (1 + static_cast<int>(i));
        painter.setPen(QColor(120, 120, 120));
        painter.drawText(QRect(0, y, headerWidth_ - 6, cellHeight_), Qt::AlignRight | Qt::AlignVCenter,
                         QString::number(static_cast<qulonglong>(top + i + 1)));
        for (uint64_t j = 0; j < columns; ++j) {
            const uint64_t row = top + i, column = left + j;
            const QRect box(headerWidth_ + static_cast<int>(j) * cellWidth_, y, cellWidth_, cellHeight_);
            const bool inSelection = row >= selTop && row <= selBottom && column >= selLeft && column <= selRight;
            if (inSelection) painter.fillRect(box, selected);
            painter.setPen(inSelection ? palette().color(QPalette::HighlightedText) : QColor(Qt::black));
            painter.drawText(box.adjusted(0, 0, -6, 0), Qt::AlignRight | Qt::AlignVCenter,
                             QString::fromStdString(cells_->Text(row, column)));
            painter.setPen(QColor(225, 225, 225));
            painter.drawLine(box.bottomLeft(), box.bottomRight());
            painter.drawLine(box.topRight(), box.bottomRight());
        }
    }
}

void GridView::MoveTo(uint64_t row, uint64_t column, bool extend) {
    if (!cells_ || cells_->Rows() == 0) return;
    currentRow_ = std::min(row, cells_->Rows() - 1);
    currentColumn_ = std::min(column, cells_->Columns() - 1);
    if (!extend) {
        anchorRow_ = currentRow_;
        anchorColumn_ = currentColumn_;
    }
    // The current cell stays in sight.
    const uint64_t top = TopRow(), left = LeftColumn();
    if (currentRow_ < top || currentRow_ >= top + VisibleRows()) {
        const uint64_t wanted = currentRow_ < top ? currentRow_ : currentRow_ - VisibleRows() + 1;
        verticalScrollBar()->setValue(static_cast<int>(wanted / StepCells(cells_->Rows())));
    }
    if (currentColumn_ < left || currentColumn_ >= left + VisibleColumns()) {
        const uint64_t wanted = currentColumn_ < left ? currentColumn_ : currentColumn_ - VisibleColumns() + 1;
        horizontalScrollBar()->setValue(static_cast<int>(wanted / StepCells(cells_->Columns())));
    }
    viewport()->update();
}

void GridView::keyPressEvent(QKeyEvent* event) {
    if (!cells_ || cells_->Rows() == 0) return QAbstractScrollArea::keyPressEvent(event);
    const bool extend = (event->modifiers() & Qt::ShiftModifier) != 0;
    const bool far = (event->modifiers() & Qt::ControlModifier) != 0;
    const uint64_t page = VisibleRows();
    uint64_t row = currentRow_, column = currentColumn_;
    switch (event->key()) {
        case Qt::Key_Up: row = row > 0 ? row - 1 : 0; break;
        case Qt::Key_Down: row = row + 1; break;
        case Qt::Key_Left: column = column > 0 ? column - 1 : 0; break;
        case Qt::Key_Right: column = column + 1; break;
        case Qt::Key_PageUp: row = row > page ? row - page : 0; break;
        case Qt::Key_PageDown: row = row + page; break;
        case Qt::Key_Home: column = 0; if (far) row = 0; break;
        case Qt::Key_End: column = cells_->Columns() - 1; if (far) row = cells_->Rows() - 1; break;
        default: return QAbstractScrollArea::keyPressEvent(event);
    }
    MoveTo(row, column, extend);
}

bool GridView::CellAt(const QPoint& point, uint64_t* row, uint64_t* column) const {
    if (!cells_ || point.x() < headerWidth_ || point.y() < cellHeight_) return false;
    *row = TopRow() + static_cast<uint64_t>((point.y() - cellHeight_) / cellHeight_);
    *column = LeftColumn() + static_cast<uint64_t>((point.x() - headerWidth_) / cellWidth_);
    return *row < cells_->Rows() && *column < cells_->Columns();
}

void GridView::mousePressEvent(QMouseEvent* event) {
    setFocus();
    uint64_t row = 0, column = 0;
    if (CellAt(event->pos(), &row, &column)) MoveTo(row, column, (event->modifiers() & Qt::ShiftModifier) != 0);
}

void GridView::mouseMoveEvent(QMouseEvent* event) {
    uint64_t row = 0, column = 0;
    if ((event->buttons() & Qt::LeftButton) != 0 && CellAt(event->pos(), &row, &column)) MoveTo(row, column, true);
}

void GridView::SelectAll() {
    if (!cells_ || cells_->Rows() == 0) return;
    anchorRow_ = anchorColumn_ = 0;
    currentRow_ = cells_->Rows() - 1;
    currentColumn_ = cells_->Columns() - 1;
    viewport()->update();
}

QString GridView::SelectionText() {
    if (!cells_ || cells_->Rows() == 0) return QString();
    const uint64_t top = std::min(anchorRow_, currentRow_), bottom = std::max(anchorRow_, currentRow_);
    const uint64_t left = std::min(anchorColumn_, currentColumn_), right = std::max(anchorColumn_, currentColumn_);
    // More than a spreadsheet pastes at once is not copied (Excel: 2^20 rows).
    if ((bottom - top + 1) > kMaxCopiedCells / (right - left + 1)) return QString();
    QString text;
    for (uint64_t r = top; r <= bottom; ++r) {
        for (uint64_t c = left; c <= right; ++c) {
            if (c > left) text += '\t';
            text += QString::fromStdString(cells_->Text(r, c));
        }
        text += '\n';
    }
    return text;
}

// ---- plot -------------------------------------------------------------------

PlotView::PlotView(QWidget* parent) : QWidget(parent) {
    setObjectName("plot");
    setFocusPolicy(Qt::StrongFocus);
}

void BackgroundPass::Start(std::function<void(const std::atomic<bool>& stop)> job) {
    Stop();
    stop_ = false;
    thread_ = std::thread([this, job = std::move(job)] { job(stop_); });
}

void BackgroundPass::Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
}

void PlotView::Clear() {
    pass_.Stop();
    ++generation_;
    document_ = nullptr;
    data_ = PlotData();
    update();
}

void PlotView::Show(Document* document, size_t row) {
    pass_.Stop();
    document_ = document;
    row_ = row;
    data_ = PlotData();
    setProperty("busy", true);
    setProperty("shown", false);
    update();
    // What an earlier pass left in the event queue is not this variable's.
    const uint64_t generation = ++generation_;
    pass_.Start([this, place = PlaceOf(*document, row), row, generation](const std::atomic<bool>& stop) {
        std::unique_ptr<Document> own = Reopen(place);
        if (!own) {
            QMetaObject::invokeMethod(this, [this, generation] { Take(PlotData(), true, generation); }, Qt::QueuedConnection);
            return;
        }
        const PlotData data = ComputePlot(*own, row, kPlotColumns, [this, &stop, generation](const PlotData& partial) {
            QMetaObject::invokeMethod(this, [this, partial, generation] { Take(partial, false, generation); }, Qt::QueuedConnection);
            return !stop;
        });
        if (!stop) QMetaObject::invokeMethod(this, [this, data, generation] { Take(data, true, generation); }, Qt::QueuedConnection);
    });
}

void PlotView::Take(const PlotData& data, bool done, uint64_t generation) {
    if (document_ == nullptr || generation != generation_) return;
    data_ = data;
    setProperty("shown", true);   // a first picture, whole or not (the bench waits for it)
    if (done) setProperty("busy", false);
    update();
}

void PlotView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), Qt::white);
    if (document_ == nullptr) return;
    const QFontMetrics metrics(font());
    const auto measure = [](void* context, const std::string& text) {
        return static_cast<const QFontMetrics*>(context)->horizontalAdvance(QString::fromStdString(text));
    };
    const PlotScene scene = MakePlotScene(data_, document_->Rows()[row_].name, width(), height(), metrics.height(),
                                          measure, const_cast<QFontMetrics*>(&metrics));
    const QRectF area(QPointF(scene.left, scene.top), QPointF(scene.right, scene.bottom));
    painter.setPen(Qt::black);
    painter.drawText(QRect(0, 2, width(), metrics.height()), Qt::AlignHCenter, QString::fromStdString(scene.title));
    if (scene.empty) {
        painter.drawText(area, Qt::AlignCenter, "no finite values");
        return;
    }
    painter.setPen(QColor(220, 220, 220));
    for (const TickMark& tick : scene.valueTicks) painter.drawLine(QPointF(area.left(), tick.at), QPointF(area.right(), tick.at));
    painter.setPen(Qt::black);
    painter.drawRect(area);
    for (const TickMark& tick : scene.valueTicks) {
        painter.drawLine(QPointF(area.left() - 4, tick.at), QPointF(area.left(), tick.at));
        painter.drawText(QRectF(0, tick.at - metrics.height() / 2.0, area.left() - 6, metrics.height()),
                         Qt::AlignRight | Qt::AlignVCenter, QString::fromStdString(tick.label));
    }
    for (const TickMark& tick : scene.indexTicks) {
        painter.drawLine(QPointF(tick.at, area.bottom()), QPointF(tick.at, area.bottom() + 4));
        painter.drawText(QRectF(tick.at - 60, area.bottom() + 5, 120, metrics.height()), Qt::AlignHCenter,
                         QString::fromStdString(tick.label));
    }
    painter.setClipRect(area);
    for (size_t i = 0; i < scene.lines.size(); ++i) {
        const uint32_t colour = kLineColours[i % std::size(kLineColours)];
        painter.setPen(QColor((colour >> 16) & 0xFF, (colour >> 8) & 0xFF, colour & 0xFF));
        for (const std::vector<PixelPoint>& line : scene.lines[i]) {
            QPainterPath path;
            for (size_t k = 0; k < line.size(); ++k) {
                const QPointF point(line[k].x, line[k].y);
                if (k == 0) path.moveTo(point); else path.lineTo(point);
            }
            if (line.size() == 1) painter.drawPoint(path.currentPosition());
            painter.drawPath(path);
        }
    }
}

// ---- image ------------------------------------------------------------------

ImageView::ImageView(QWidget* parent) : QWidget(parent) {
    setObjectName("image");
    setFocusPolicy(Qt::StrongFocus);
}

void ImageView::Clear() {
    pass_.Stop();
    ++generation_;
    image_ = QImage();
    update();
}

void ImageView::Show(Document* document, size_t row, bool trueColour) {
    pass_.Stop();
    trueColour_ = trueColour;
    image_ = QImage();
    setProperty("busy", true);
    setProperty("shown", false);
    update();
    const std::string name = document->Rows()[row].name;
    const uint64_t generation = ++generation_;
    pass_.Start([this, place = PlaceOf(*document, row), row, trueColour, name, generation](const std::atomic<bool>& stop) {
        std::unique_ptr<Document> own = Reopen(place);
        if (!own) {
            QMetaObject::invokeMethod(this, [this, name, generation] { Take(ImageData(), name, true, generation); }, Qt::QueuedConnection);
            return;
        }
        const ImageData data = ComputeImage(*own, row, trueColour, kImageSide, [this, &stop, name, generation](const ImageData& partial) {
            QMetaObject::invokeMethod(this, [this, partial, name, generation] { Take(partial, name, false, generation); },
                                      Qt::QueuedConnection);
            return !stop;
        });
        if (!stop) {
            QMetaObject::invokeMethod(this, [this, data, name, generation] { Take(data, name, true, generation); }, Qt::QueuedConnection);
        }
    });
}

void ImageView::Take(const ImageData& data, const std::string& name, bool done, uint64_t generation) {
    if (generation != generation_) return;
    damaged_ = data.damaged;
    limits_ = data.limits.any;
    lo_ = data.limits.lo;
    hi_ = data.limits.hi;
    image_ = QImage(static_cast<int>(data.width), static_cast<int>(data.height), QImage::Format_RGB32);
    for (size_t r = 0; r < data.height; ++r) {
        auto* line = reinterpret_cast<QRgb*>(image_.scanLine(static_cast<int>(r)));
        for (size_t c = 0; c < data.width; ++c) {
            const picture::Rgb colour = data.pixels[r * data.width + c];
            line[c] = qRgb(colour.r, colour.g, colour.b);
        }
    }
    const bool pages = !trueColour_ && data.pages > 1;
    caption_ = QString::fromStdString(name + (pages ? "  (:,:,1) of " + std::to_string(data.pages) + " pages" : "") +
                                      (damaged_ ? "  (damaged)" : "") + (done ? "" : "  (reading ...)"));
    setProperty("shown", true);
    if (done) setProperty("busy", false);
    update();
}

void ImageView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), Qt::white);
    if (image_.isNull()) return;
    const QFontMetrics metrics(font());
    painter.drawText(QRect(0, 2, width(), metrics.height()), Qt::AlignHCenter, caption_);
    const int barWidth = trueColour_ ? 0 : 16 + metrics.horizontalAdvance("-0.000e+00") + 12;
    const QRect room(8, metrics.height() + 6, std::max(10, width() - 16 - barWidth), std::max(10, height() - metrics.height() - 14));
    QSize size = image_.size().scaled(room.size(), Qt::KeepAspectRatio);
    const QRect target(room.left() + (room.width() - size.width()) / 2, room.top(), size.width(), size.height());
    painter.drawImage(target, image_);
    if (trueColour_) return;
    // The colour bar: the map from its first entry (bottom, lo) to its last.
    const QRect bar(target.right() + 12, target.top(), 16, target.height());
    for (int y = 0; y < bar.height(); ++y) {
        const size_t entry = static_cast<size_t>((bar.height() - 1 - y) * 255.0 / std::max(1, bar.height() - 1));
        const picture::Rgb colour = picture::kViridis[std::min<size_t>(entry, 255)];
        painter.setPen(QColor(colour.r, colour.g, colour.b));
        painter.drawLine(bar.left(), bar.top() + y, bar.right(), bar.top() + y);
    }
    painter.setPen(Qt::black);
    painter.drawRect(bar);
    if (!limits_) return;
    for (const TickMark& tick : ColourBarTicks(lo_, hi_, bar.top(), bar.bottom())) {
        painter.drawLine(QPointF(bar.right(), tick.at), QPointF(bar.right() + 4, tick.at));
        painter.drawText(QPointF(bar.right() + 6, tick.at + metrics.ascent() / 2.0), QString::fromStdString(tick.label));
    }
}

}  // namespace lister
