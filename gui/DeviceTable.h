// The sixteen-row device table (control 1016): row r shows slot r + 1. Three centred columns
// (slot number, port location, status text) with fonts of their own, a bold header, per-row
// background colours, and rows whose height follows the table's height. Rows never move: there is
// no sorting and the header does not react to clicks.
//
// The selected row shows its selection as a frame around the row, never as a fill that would hide
// its green or red. Tab and Shift+Tab leave the table instead of walking its cells. A row's job
// time is drawn at the right end of its status cell.
#pragma once

#include <QColor>
#include <QFont>
#include <QFontMetrics>
#include <QRect>
#include <QTableWidget>
#include <optional>

class CDeviceTable final : public QTableWidget {
    Q_OBJECT

  public:
    static constexpr int kInitialWidths[3] = {50, 110, 420};
    // Column 2 leaves this many pixels of the table's client width free.
    static constexpr int kStatusColumnSlack = 10;
    // The item role of the status cell that carries the row's job time.
    static constexpr int kTimeRole = Qt::UserRole + 1;
    // Room between the job time and the cell's right edge and the status text.
    static constexpr int kTimeMargin = 6;

    // Where a status cell's text is drawn when the row shows a job time: clear of the time at
    // the right end and as far from the left end (so it stays centred); the text is cut with an
    // ellipsis to fit. The whole cell when there is no time.
    static QRect StatusTextArea(const QRect& cell, const QFontMetrics& metrics,
                                const QString& time);

    explicit CDeviceTable(QWidget* parent = nullptr);

    void SetCellText(int row, int column, const QString& text);
    QString CellText(int row, int column) const;
    // A colour, or none for the default background.
    void SetRowColour(int row, std::optional<QColor> colour);
    std::optional<QColor> RowColour(int row) const;
    // The row's job time ("" for none), drawn at the right end of its status cell.
    void SetRowTime(int row, const QString& text);
    QString RowTime(int row) const;
    // The mark shown after the row's status text ("" for none).
    void SetRowMark(int row, const QString& mark);
    QString RowMark(int row) const;
    void SetColumnTitle(int column, const QString& title);
    QString ColumnTitle(int column) const;

    // Column 2 takes the rest of the client width; the sixteen rows share the client height
    // equally (H pixels each), and the table's font becomes RowFont for that height.
    void FitToClient();
    // The font the rows follow: the table font at a character height of H * 72 / D pixels, H the
    // client height divided among the sixteen rows, D the screen's vertical dots per inch.
    static QFont RowFont(const QFont& base, int clientHeight, double dpiY);

    // A font of the given pixel height, average character width (0: the face's own) and weight.
    static QFont MakeFont(const QFont& face, int pixelHeight, int averageWidth, int weight);

  protected:
    void resizeEvent(QResizeEvent* event) override;
    bool viewportEvent(QEvent* event) override;

  private:
    void FitRows();
    void FitStatusColumn();
    QTableWidgetItem* Cell(int row, int column) const;

    QFont columnFonts_[3];
    std::optional<QColor> rowColours_[16];
    QString statusTexts_[16];
    QString marks_[16];
};
