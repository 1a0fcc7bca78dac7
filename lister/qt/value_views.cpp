// The grid, plot and image of one variable, painted with Qt from what
// lister/ reads and picture/ computes.
#include "lister/qt/value_views.h"

#include <QFontMetrics>
#include <QPainter>
#include <QPainterPath>
#include <algorithm>
#include <cmath>

#include "lister/plot_data.h"
#include "picture/colour.h"

namespace lister {

namespace {

constexpr int kMaxRowsShown = INT32_MAX;

int Clamp(uint64_t count) { return static_cast<int>(std::min<uint64_t>(count, kMaxRowsShown)); }

}  // namespace

// ---- grid -------------------------------------------------------------------

ValueGridModel::ValueGridModel(Document* document, size_t row) : cells_(document, row) {}

int ValueGridModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : Clamp(cells_.Rows()); }

int ValueGridModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : Clamp(cells_.Columns()); }

QVariant ValueGridModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid()) return QVariant();
    if (role == Qt::TextAlignmentRole) return int(Qt::AlignRight | Qt::AlignVCenter);
    if (role != Qt::DisplayRole) return QVariant();
    return QString::fromStdString(cells_.Text(static_cast<uint64_t>(index.row()), static_cast<uint64_t>(index.column())));
}

QVariant ValueGridModel::headerData(int section, Qt::Orientation, int role) const {
    if (role != Qt::DisplayRole) return QVariant();
    return QString::number(static_cast<qlonglong>(section) + 1);   // MATLAB's subscripts
}

QString ValueGridModel::SelectionText(const QModelIndexList& cells) const {
    if (cells.isEmpty()) return QString();
    int top = INT32_MAX, left = INT32_MAX, bottom = -1, right = -1;
    for (const QModelIndex& cell : cells) {
        top = std::min(top, cell.row());
        bottom = std::max(bottom, cell.row());
        left = std::min(left, cell.column());
        right = std::max(right, cell.column());
    }
    // The rectangle the cells span (a spreadsheet pastes rectangles), at most
    // a million cells.
    if (static_cast<int64_t>(bottom - top + 1) * (right - left + 1) > 1000000) return QString();
    QString text;
    for (int r = top; r <= bottom; ++r) {
        for (int c = left; c <= right; ++c) {
            if (c > left) text += '\t';
            text += data(index(r, c), Qt::DisplayRole).toString();
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

void PlotView::Clear() {
    document_ = nullptr;
    data_ = PlotData();
    update();
}

void PlotView::Show(Document* document, size_t row) {
    document_ = document;
    row_ = row;
    data_ = ComputePlot(*document, row, kPlotColumns);
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
    image_ = QImage();
    update();
}

void ImageView::Show(Document* document, size_t row, bool trueColour) {
    const ImageData data = ComputeImage(*document, row, trueColour, kImageSide);
    trueColour_ = trueColour;
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
    const VariableRow& variable = document->Rows()[row];
    const bool pages = !trueColour && data.pages > 1;
    caption_ = QString::fromStdString(variable.name + (pages ? "  (:,:,1) of " + std::to_string(data.pages) + " pages" : "") +
                                      (damaged_ ? "  (damaged)" : ""));
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
