// The views of one variable's values in the Qt window: the grid's model
// (it reads only the cells in sight), the line plot and the image. They
// paint what picture/ computes from one streaming pass over the values.
#pragma once

#include <QAbstractTableModel>
#include <QImage>
#include <QWidget>
#include <vector>

#include "lister/document.h"
#include "lister/grid_cells.h"
#include "lister/plot_data.h"

namespace lister {

class ValueGridModel : public QAbstractTableModel {
public:
    ValueGridModel(Document* document, size_t row);
    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    // The selected cells as a spreadsheet takes them: tab between columns,
    // a line per row.
    QString SelectionText(const QModelIndexList& cells) const;

private:
    mutable GridCells cells_;   // reading a cell fills the block it is in
};

class PlotView : public QWidget {
public:
    explicit PlotView(QWidget* parent);
    void Show(Document* document, size_t row);
    void Clear();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    Document* document_ = nullptr;
    size_t row_ = 0;
    PlotData data_;   // computed once per variable; painted at any size
};

class ImageView : public QWidget {
public:
    explicit ImageView(QWidget* parent);
    void Show(Document* document, size_t row, bool trueColour);
    void Clear();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QImage image_;
    double lo_ = 0, hi_ = 0;
    bool limits_ = false, trueColour_ = false, damaged_ = false;
    QString caption_;
};

}  // namespace lister
