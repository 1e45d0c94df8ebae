#include "gui/DeviceTable.h"

#include <QFontMetrics>
#include <QHeaderView>
#include <QPainter>
#include <QResizeEvent>
#include <QScreen>
#include <QStyledItemDelegate>
#include <algorithm>
#include <cmath>

#include "app/StationView.h"

namespace {

// Fonts of the columns and of the header: pixel height, average character width, weight.
struct FontSpec {
    int pixelHeight;
    int averageWidth;
    int weight;
};
constexpr FontSpec kHeaderFont{20, 10, 700};
constexpr FontSpec kColumnFonts[kTableColumns] = {{20, 10, 700}, {15, 10, 400}, {15, 10, 400}};

// Draws a cell as it is, without the selection's fill, then the selection as a frame around the
// row, and the row's job time at the right end of its status cell.
class CRowFrameDelegate final : public QStyledItemDelegate {
  public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        QStyleOptionViewItem plain(option);
        const bool selected = (option.state & QStyle::State_Selected) != 0;
        plain.state &= ~(QStyle::State_Selected | QStyle::State_HasFocus);
        const QString time = index.data(CDeviceTable::kTimeRole).toString();
        const QVariant font = index.data(Qt::FontRole);
        if (!time.isEmpty()) {
            // The text keeps clear of the time at the right end (and as much room at the left
            // end, so that it stays centred); a longer text is cut with an ellipsis.
            const QFontMetrics metrics(font.isValid() ? font.value<QFont>() : option.font);
            const QVariant background = index.data(Qt::BackgroundRole);
            if (background.canConvert<QBrush>()) {
                painter->fillRect(option.rect, background.value<QBrush>());
            }
            plain.rect = CDeviceTable::StatusTextArea(option.rect, metrics, time);
            plain.textElideMode = Qt::ElideRight;
        }
        QStyledItemDelegate::paint(painter, plain, index);

        if (!time.isEmpty()) {
            painter->save();
            if (font.isValid()) {
                painter->setFont(font.value<QFont>());
            }
            painter->setPen(option.palette.color(QPalette::Text));
            painter->drawText(option.rect.adjusted(0, 0, -kTimeMargin, 0),
                              Qt::AlignRight | Qt::AlignVCenter, time);
            painter->restore();
        }
        if (selected) {
            painter->save();
            painter->setPen(QPen(option.palette.color(QPalette::Highlight), kFrameWidth));
            painter->setBrush(Qt::NoBrush);
            const QRect r = option.rect.adjusted(1, 1, -1, -1);
            painter->drawLine(r.topLeft(), r.topRight());
            painter->drawLine(r.bottomLeft(), r.bottomRight());
            if (index.column() == 0) {
                painter->drawLine(r.topLeft(), r.bottomLeft());
            }
            if (index.column() == index.model()->columnCount() - 1) {
                painter->drawLine(r.topRight(), r.bottomRight());
            }
            painter->restore();
        }
    }

  private:
    static constexpr int kFrameWidth = 2;
    static constexpr int kTimeMargin = CDeviceTable::kTimeMargin;
};

}  // namespace

QRect CDeviceTable::StatusTextArea(const QRect& cell, const QFontMetrics& metrics,
                                   const QString& time) {
    if (time.isEmpty()) {
        return cell;
    }
    const int reserve = metrics.horizontalAdvance(time) + 2 * kTimeMargin;
    return cell.width() > 2 * reserve ? cell.adjusted(reserve, 0, -reserve, 0) : cell;
}

QFont CDeviceTable::MakeFont(const QFont& face, int pixelHeight, int averageWidth, int weight) {
    QFont font(face);
    font.setPixelSize(std::max(pixelHeight, 1));
    font.setWeight(static_cast<QFont::Weight>(std::clamp(weight, 1, 1000)));
    if (averageWidth > 0) {
        // The face's own average width at this height decides how far it is stretched.
        const int natural = QFontMetrics(font).averageCharWidth();
        if (natural > 0) {
            const int stretch = static_cast<int>(std::lround(100.0 * averageWidth / natural));
            font.setStretch(std::clamp(stretch, 1, 4000));
        }
    }
    return font;
}

QFont CDeviceTable::RowFont(const QFont& base, int clientHeight, double dpiY) {
    const int share = std::max(clientHeight, 0) / kTableRows;
    const double dpi = dpiY > 0 ? dpiY : 96.0;
    QFont font(base);
    font.setPixelSize(std::max(static_cast<int>(std::lround(share * 72.0 / dpi)), 1));
    return font;
}

CDeviceTable::CDeviceTable(QWidget* parent) : QTableWidget(kTableRows, kTableColumns, parent) {
    setSortingEnabled(false);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setWordWrap(false);
    setCornerButtonEnabled(false);
    // Tab and Shift+Tab move to the next control, not through the 48 cells.
    setTabKeyNavigation(false);
    setItemDelegate(new CRowFrameDelegate(this));
    // The rows always share the client height, so there is never anything to scroll to.
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    verticalHeader()->hide();
    verticalHeader()->setMinimumSectionSize(1);
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);

    QHeaderView* header = horizontalHeader();
    header->setSectionsClickable(false);
    header->setSectionsMovable(false);
    header->setSortIndicatorShown(false);
    header->setHighlightSections(false);
    header->setStretchLastSection(false);
    header->setDefaultAlignment(Qt::AlignCenter);
    header->setFont(
        MakeFont(font(), kHeaderFont.pixelHeight, kHeaderFont.averageWidth, kHeaderFont.weight));

    for (int c = 0; c < kTableColumns; ++c) {
        const FontSpec& spec = kColumnFonts[c];
        columnFonts_[c] = MakeFont(font(), spec.pixelHeight, spec.averageWidth, spec.weight);
        auto* title = new QTableWidgetItem(QString());
        title->setTextAlignment(Qt::AlignCenter);
        setHorizontalHeaderItem(c, title);
        setColumnWidth(c, kInitialWidths[c]);
    }
    for (int r = 0; r < kTableRows; ++r) {
        for (int c = 0; c < kTableColumns; ++c) {
            auto* item =
                new QTableWidgetItem(c == kColumnSlot ? QString::number(r + 1) : QString());
            item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
            item->setTextAlignment(Qt::AlignCenter);
            item->setFont(columnFonts_[c]);
            setItem(r, c, item);
        }
    }
    FitRows();
}

QTableWidgetItem* CDeviceTable::Cell(int row, int column) const {
    if (row < 0 || row >= kTableRows || column < 0 || column >= kTableColumns) {
        return nullptr;
    }
    return item(row, column);
}

void CDeviceTable::SetCellText(int row, int column, const QString& text) {
    if (QTableWidgetItem* cell = Cell(row, column)) {
        if (column == kColumnStatus) {
            statusTexts_[row] = text;
            cell->setText(text + marks_[row]);
            cell->setToolTip(text + marks_[row]);  // the whole text when the cell cuts it
        } else {
            cell->setText(text);
        }
    }
}

void CDeviceTable::SetRowMark(int row, const QString& mark) {
    if (QTableWidgetItem* cell = Cell(row, kColumnStatus)) {
        marks_[row] = mark;
        cell->setText(statusTexts_[row] + mark);
        cell->setToolTip(statusTexts_[row] + mark);
    }
}

QString CDeviceTable::RowMark(int row) const {
    return row >= 0 && row < kTableRows ? marks_[row] : QString();
}

QString CDeviceTable::CellText(int row, int column) const {
    const QTableWidgetItem* cell = Cell(row, column);
    return cell != nullptr ? cell->text() : QString();
}

void CDeviceTable::SetRowColour(int row, std::optional<QColor> colour) {
    if (row < 0 || row >= kTableRows) {
        return;
    }
    rowColours_[row] = colour;
    for (int c = 0; c < kTableColumns; ++c) {
        if (QTableWidgetItem* cell = Cell(row, c)) {
            if (colour) {
                cell->setBackground(QBrush(*colour));
            } else {
                cell->setData(Qt::BackgroundRole, QVariant());
            }
        }
    }
}

std::optional<QColor> CDeviceTable::RowColour(int row) const {
    if (row < 0 || row >= kTableRows) {
        return std::nullopt;
    }
    return rowColours_[row];
}

void CDeviceTable::SetRowTime(int row, const QString& text) {
    if (QTableWidgetItem* cell = Cell(row, kColumnStatus)) {
        cell->setData(kTimeRole, text.isEmpty() ? QVariant() : QVariant(text));
    }
}

QString CDeviceTable::RowTime(int row) const {
    const QTableWidgetItem* cell = Cell(row, kColumnStatus);
    return cell != nullptr ? cell->data(kTimeRole).toString() : QString();
}

void CDeviceTable::SetColumnTitle(int column, const QString& title) {
    if (column < 0 || column >= kTableColumns) {
        return;
    }
    if (QTableWidgetItem* item = horizontalHeaderItem(column)) {
        item->setText(title);
    }
}

QString CDeviceTable::ColumnTitle(int column) const {
    const QTableWidgetItem* item =
        column >= 0 && column < kTableColumns ? horizontalHeaderItem(column) : nullptr;
    return item != nullptr ? item->text() : QString();
}

void CDeviceTable::FitRows() {
    const int clientHeight = viewport()->height();
    const QScreen* shown = screen();
    const double dpiY = shown != nullptr ? shown->logicalDotsPerInchY() : 96.0;
    // The cells keep their column fonts; the table's own font carries the row height.
    setFont(RowFont(font(), clientHeight, dpiY));
    const int height = std::max(clientHeight / kTableRows, 1);
    verticalHeader()->setDefaultSectionSize(height);
    for (int r = 0; r < kTableRows; ++r) {
        setRowHeight(r, height);
    }
}

void CDeviceTable::FitStatusColumn() {
    const int width = viewport()->width() - columnWidth(kColumnSlot) -
                      columnWidth(kColumnLocation) - kStatusColumnSlack;
    if (width > 0) {
        setColumnWidth(kColumnStatus, width);
    }
}

void CDeviceTable::FitToClient() {
    FitStatusColumn();
    FitRows();
}

bool CDeviceTable::viewportEvent(QEvent* event) {
    const bool handled = QTableWidget::viewportEvent(event);
    if (event->type() == QEvent::Resize && !window()->isMinimized()) {
        // The client area also changes when the horizontal scroll bar comes or goes.
        FitRows();
    }
    return handled;
}

void CDeviceTable::resizeEvent(QResizeEvent* event) {
    QTableWidget::resizeEvent(event);
    if (!window()->isMinimized()) {
        FitToClient();
    }
}
