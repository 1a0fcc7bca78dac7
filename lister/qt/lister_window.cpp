// The lister's window in Double Commander's Qt build: the whos table on the
// left, the variable in view on the right (plot, image, grid or text; Tab
// goes from one to the next). Qt widgets only paint what lister/ and
// picture/ compute. Functor connections only: no moc.
#include <QApplication>
#include <QClipboard>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QPlainTextEdit>
#include <QSplitter>
#include <QStackedWidget>
#include <QTableWidget>
#include <QTextCursor>
#include <QTextDocument>
#include <QVBoxLayout>
#include <algorithm>

#include "lister/plot_data.h"
#include "lister/qt/value_views.h"
#include "picture/whos.h"
#include "lister/window.h"
#include "wcx/lister_api.h"

namespace lister {
namespace {

class ListerWindow : public QWidget {
public:
    explicit ListerWindow(QWidget* parent) : QWidget(parent) {
        auto* layout = new QVBoxLayout(this);
        layout->setContentsMargins(0, 0, 0, 0);
        auto* splitter = new QSplitter(Qt::Horizontal, this);
        layout->addWidget(splitter);

        whos_ = new QTableWidget(0, 5, splitter);
        whos_->setObjectName("whos");
        whos_->setHorizontalHeaderLabels({"Name", "Size", "Bytes", "Class", "Attributes"});
        whos_->setSelectionBehavior(QAbstractItemView::SelectRows);
        whos_->setSelectionMode(QAbstractItemView::SingleSelection);
        whos_->setEditTriggers(QAbstractItemView::NoEditTriggers);
        whos_->verticalHeader()->hide();
        // Sorted by the neutral whos order, not Qt's: a click on a header
        // sorts by that column, a second click the other way.
        whos_->horizontalHeader()->setSortIndicatorShown(true);
        whos_->horizontalHeader()->setSortIndicator(0, Qt::AscendingOrder);
        whos_->horizontalHeader()->setStretchLastSection(true);
        whos_->installEventFilter(this);
        // The host gives the focus to the window it was handed: the table
        // takes it, so the keys reach the lister from the first one.
        setFocusProxy(whos_);

        auto* right = new QWidget(splitter);
        auto* rightLayout = new QVBoxLayout(right);
        rightLayout->setContentsMargins(0, 0, 0, 0);
        title_ = new QLabel(right);
        title_->setObjectName("title");
        rightLayout->addWidget(title_);
        stack_ = new QStackedWidget(right);
        rightLayout->addWidget(stack_, 1);

        plot_ = new PlotView(stack_);
        image_ = new ImageView(stack_);
        grid_ = new GridView(stack_);
        grid_->installEventFilter(this);
        whos_->verticalHeader()->setDefaultSectionSize(whos_->fontMetrics().height() + 6);
        text_ = new QPlainTextEdit(stack_);
        text_->setObjectName("text");
        text_->setReadOnly(true);
        text_->setLineWrapMode(QPlainTextEdit::NoWrap);
        text_->setFont(QFont("Monospace"));
        text_->installEventFilter(this);
        plot_->installEventFilter(this);
        image_->installEventFilter(this);
        for (QWidget* view : {static_cast<QWidget*>(plot_), static_cast<QWidget*>(image_),
                              static_cast<QWidget*>(grid_), static_cast<QWidget*>(text_)}) {
            stack_->addWidget(view);
        }
        splitter->setStretchFactor(0, 2);
        splitter->setStretchFactor(1, 3);

        connect(whos_, &QTableWidget::itemSelectionChanged, this, [this] { ShowSelected(); });
        connect(whos_->horizontalHeader(), &QHeaderView::sortIndicatorChanged, this, [this](int, Qt::SortOrder) {
            const int row = whos_->currentRow();
            const size_t shown = row >= 0 ? DocumentRow(row) : SIZE_MAX;
            FillWhos();
            for (int i = 0; i < whos_->rowCount(); ++i) {
                if (DocumentRow(i) == shown) whos_->selectRow(i);
            }
        });
    }

    // The views' passes end before the document goes (members go before
    // the child widgets do).
    ~ListerWindow() override {
        plot_->Clear();
        image_->Clear();
        grid_->Clear();
    }

    void Show(std::unique_ptr<Document> document) {
        // The views let go of the old file before it closes.
        grid_->Clear();
        plot_->Clear();
        image_->Clear();
        views_.clear();
        document_ = std::move(document);
        FillWhos();
        if (whos_->rowCount() > 0) {
            const QSignalBlocker block(whos_);   // shown once, below
            whos_->selectRow(PreferredRow());
        } else {
            title_->setText("no variables");
            text_->setPlainText("");
            stack_->setCurrentWidget(text_);
        }
        ShowSelected();
        whos_->setFocus();
    }

    bool Find(const std::string& wanted, int flags) {
        ShowView(View::Text);
        QTextDocument::FindFlags find;
        if (flags & lcs_matchcase) find |= QTextDocument::FindCaseSensitively;
        if (flags & lcs_wholewords) find |= QTextDocument::FindWholeWords;
        if (flags & lcs_backwards) find |= QTextDocument::FindBackward;
        if (flags & lcs_findfirst) {
            QTextCursor cursor = text_->textCursor();
            cursor.movePosition((flags & lcs_backwards) ? QTextCursor::End : QTextCursor::Start);
            text_->setTextCursor(cursor);
        }
        return text_->find(QString::fromStdString(wanted), find);
    }

    bool Command(int command) {
        switch (command) {
            case lc_copy: Copy(); return true;
            case lc_selectall:
                if (stack_->currentWidget() == grid_) grid_->SelectAll(); else text_->selectAll();
                return true;
            case lc_newparams: return true;   // nothing of the flags changes what is shown
            default: return false;
        }
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::KeyPress) return QWidget::eventFilter(watched, event);
        const auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Tab || key->key() == Qt::Key_Backtab) {
            NextView(key->key() == Qt::Key_Backtab ? -1 : 1);
            return true;
        }
        if (key->matches(QKeySequence::Copy)) {
            Copy();
            return true;
        }
        // Keys the lister does not use are the host's (Esc closes, n and p go
        // to the next and previous file, F7 finds): Qt would let the table
        // or the text keep them, so they go to the host's widget at once.
        if (!OwnKey(*key)) {
            if (key->key() == Qt::Key_Escape && key->modifiers() == Qt::NoModifier && document_ &&
                EscClosesHostWindow(window()->windowTitle().toStdString(), document_->Path())) {
                // After this handler has returned: closing may destroy this window.
                QMetaObject::invokeMethod(window(), "close", Qt::QueuedConnection);
                return true;
            }
            PassToHost(*key);
            return true;
        }
        // Up and down choose the variable from whichever view has the focus.
        if (watched != whos_ && watched != grid_ && watched != text_ &&
            (key->key() == Qt::Key_Up || key->key() == Qt::Key_Down)) {
            const int row = whos_->currentRow() + (key->key() == Qt::Key_Up ? -1 : 1);
            if (row >= 0 && row < whos_->rowCount()) whos_->selectRow(row);
            return true;
        }
        return QWidget::eventFilter(watched, event);
    }

private:
    // Moving about the table, the grid and the text, and choosing, copying
    // and selecting in them.
    static bool OwnKey(const QKeyEvent& key) {
        switch (key.key()) {
            case Qt::Key_Up: case Qt::Key_Down: case Qt::Key_Left: case Qt::Key_Right:
            case Qt::Key_PageUp: case Qt::Key_PageDown: case Qt::Key_Home: case Qt::Key_End:
            case Qt::Key_Shift: case Qt::Key_Control:
                return true;
            default:
                return key.matches(QKeySequence::SelectAll) || key.matches(QKeySequence::Copy);
        }
    }

    // To the nearest of the host's widgets that takes the key (a bare Qt
    // widget ignores it; the host's toolkit hooks its own).
    void PassToHost(const QKeyEvent& key) {
        for (QWidget* widget = parentWidget(); widget != nullptr; widget = widget->parentWidget()) {
            QKeyEvent copy(key.type(), key.key(), key.modifiers(), key.nativeScanCode(), key.nativeVirtualKey(),
                           key.nativeModifiers(), key.text(), key.isAutoRepeat(), static_cast<ushort>(key.count()));
            copy.ignore();
            if (QCoreApplication::sendEvent(widget, &copy) || copy.isAccepted()) return;
        }
    }

    void FillWhos() {
        const QSignalBlocker block(whos_);
        std::vector<picture::WhosRow> rows;
        const auto& variables = document_->Rows();
        for (size_t i = 0; i < variables.size() && i < INT32_MAX; ++i) rows.push_back(variables[i].Whos(i));
        const auto column = static_cast<picture::WhosColumn>(whos_->horizontalHeader()->sortIndicatorSection());
        picture::SortWhos(rows, column, whos_->horizontalHeader()->sortIndicatorOrder() == Qt::AscendingOrder);
        whos_->setRowCount(0);
        whos_->setRowCount(static_cast<int>(rows.size()));
        for (int i = 0; i < whos_->rowCount(); ++i) {
            const picture::WhosRow& row = rows[static_cast<size_t>(i)];
            auto* name = new QTableWidgetItem(QString::fromStdString(row.name));
            name->setData(Qt::UserRole, static_cast<qulonglong>(row.place));   // the document's row
            whos_->setItem(i, 0, name);
            whos_->setItem(i, 1, new QTableWidgetItem(QString::fromStdString(picture::SizeText(row.dimensions))));
            auto* bytes = new QTableWidgetItem(QString::number(static_cast<qulonglong>(row.bytes)));
            bytes->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
            whos_->setItem(i, 2, bytes);
            whos_->setItem(i, 3, new QTableWidgetItem(QString::fromStdString(row.className)));
            whos_->setItem(i, 4, new QTableWidgetItem(QString::fromStdString(row.attributes)));
        }
        whos_->resizeColumnsToContents();
    }

    int PreferredRow() const {
        std::vector<size_t> order;
        for (int i = 0; i < whos_->rowCount(); ++i) order.push_back(DocumentRow(i));
        const size_t preferred = PreferredVariable(*document_, order);
        for (int i = 0; i < whos_->rowCount(); ++i) {
            if (DocumentRow(i) == preferred) return i;
        }
        return 0;
    }

    size_t DocumentRow(int tableRow) const {
        return static_cast<size_t>(whos_->item(tableRow, 0)->data(Qt::UserRole).toULongLong());
    }

    void ShowSelected() {
        const int tableRow = whos_->currentRow();
        if (!document_ || tableRow < 0) return;
        row_ = DocumentRow(tableRow);
        const VariableRow& row = document_->Rows()[row_];
        views_ = ViewsOf(row);
        grid_->Show(std::make_unique<GridCells>(document_.get(), row_));
        textShown_ = false;
        viewIndex_ = 0;
        ShowCurrentView();
    }

    void ShowView(View view) {
        const auto at = std::find(views_.begin(), views_.end(), view);
        if (at == views_.end()) return;
        viewIndex_ = static_cast<size_t>(at - views_.begin());
        ShowCurrentView();
    }

    void NextView(int step) {
        if (views_.empty()) return;
        const size_t count = views_.size();
        viewIndex_ = (viewIndex_ + (step < 0 ? count - 1 : 1)) % count;
        ShowCurrentView();
    }

    void ShowCurrentView() {
        if (!document_ || views_.empty()) return;
        const View view = views_[viewIndex_];
        const VariableRow& row = document_->Rows()[row_];
        title_->setText(QString::fromStdString(ViewTitle(row, views_, viewIndex_)));
        // The focus follows the view it was on, so that Tab goes on from there.
        const bool focusInView = stack_->isAncestorOf(QApplication::focusWidget());
        switch (view) {
            case View::Plot:
                plot_->Show(document_.get(), row_);
                stack_->setCurrentWidget(plot_);
                break;
            case View::Image:
            case View::Picture:
                image_->Show(document_.get(), row_, view == View::Picture);
                stack_->setCurrentWidget(image_);
                break;
            case View::Grid: stack_->setCurrentWidget(grid_); break;
            case View::Text:
                if (!textShown_) {
                    text_->setPlainText(QString::fromStdString(document_->Text(row_)));
                    textShown_ = true;
                }
                stack_->setCurrentWidget(text_);
                break;
        }
        if (focusInView) stack_->currentWidget()->setFocus();
    }

    void Copy() {
        QString copied;
        if (stack_->currentWidget() == grid_) {
            copied = grid_->SelectionText();
        } else if (stack_->currentWidget() == text_) {
            copied = text_->textCursor().hasSelection() ? text_->textCursor().selectedText().replace(QChar(0x2029), '\n')
                                                        : text_->toPlainText();
        } else if (document_ && !views_.empty()) {
            copied = QString::fromStdString(document_->Text(row_));
        }
        if (!copied.isEmpty()) QApplication::clipboard()->setText(copied);
    }

    std::unique_ptr<Document> document_;
    QTableWidget* whos_ = nullptr;
    QLabel* title_ = nullptr;
    QStackedWidget* stack_ = nullptr;
    PlotView* plot_ = nullptr;
    ImageView* image_ = nullptr;
    GridView* grid_ = nullptr;
    QPlainTextEdit* text_ = nullptr;
    size_t row_ = 0;
    std::vector<View> views_;
    size_t viewIndex_ = 0;
    bool textShown_ = false;
};

ListerWindow* AsWindow(void* window) { return static_cast<ListerWindow*>(static_cast<QWidget*>(window)); }

}  // namespace

void* CreateListerWindow(void* parent, std::unique_ptr<Document> document, int) {
    // Only a Qt host's parent is a QWidget: elsewhere there is no QApplication.
    if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr || parent == nullptr) return nullptr;
    auto* window = new ListerWindow(static_cast<QWidget*>(parent));
    window->Show(std::move(document));
    window->show();
    return static_cast<QWidget*>(window);
}

void ShowInWindow(void* window, std::unique_ptr<Document> document, int) { AsWindow(window)->Show(std::move(document)); }

void DestroyListerWindow(void* window) { delete AsWindow(window); }

bool FindInWindow(void* window, const std::string& text, int searchFlags) {
    return AsWindow(window)->Find(text, searchFlags);
}

bool CommandWindow(void* window, int command, int) { return AsWindow(window)->Command(command); }

}  // namespace lister
