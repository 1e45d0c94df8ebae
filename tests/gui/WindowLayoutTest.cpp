// The main window's look without a station behind it: dialog-unit positions, built-in texts,
// the device table's set-up and fonts, the counters' styles, the layout on resize, the minimum
// size, and the refit of rows and the status column on maximise (not on minimise).
#include <QFontMetrics>
#include <QHeaderView>
#include <QScreen>
#include <QTest>

#include "gui/StationWindow.h"

namespace C = StationControl;

namespace {

struct UnitRect {
    int id;
    int left, top, width, height;
};

constexpr UnitRect kPlaces[] = {
    {C::kKeyFileButton, 7, 7, 50, 28},     {C::kStartStopButton, 58, 7, 50, 28},
    {C::kExitButton, 109, 7, 50, 28},      {C::kConfigButton, 160, 7, 61, 28},
    {C::kKeyFileLabel, 11, 52, 276, 17},   {C::kKeyCountLabel, 11, 84, 78, 17},
    {C::kUnusedLabel, 105, 84, 78, 17},    {C::kCreateTimeLabel, 199, 84, 155, 17},
    {C::kSuccessCaption, 303, 10, 38, 17}, {C::kSuccessCounter, 355, 10, 38, 17},
    {C::kFailCaption, 303, 35, 38, 17},    {C::kFailCounter, 355, 35, 38, 17},
    {C::kTotalCaption, 303, 63, 38, 17},   {C::kTotalCounter, 355, 63, 38, 17},
    {C::kDeviceTable, 7, 106, 389, 233},   {C::kStatusLine, 7, 383, 389, 12},
    {C::kSummaryLabel, 7, 340, 389, 42},
};

QRect Expected(const CStationWindow& w, const UnitRect& p) {
    return w.Units().Rect(p.left, p.top, p.width, p.height);
}

int RowHeight(CDeviceTable* table) {
    return table->rowHeight(0);
}

}  // namespace

class WindowLayoutTest final : public QObject {
    Q_OBJECT

  private slots:
    void dialogUnitsRoundLikeTheDialogManager();
    void controlsSitAtTheirDialogUnitPlaces();
    void labelTextsAreNeverMarkup();
    void theTableHasSixteenFixedRowsAndCentredColumns();
    void countersFitTheirFiveDigits();
    void rowFontFollowsTheTableHeightAndTheScreensDpi();
    void theWindowCannotShrinkFromAnyEdgeOrCorner();
    void growingKeepsMarginsAndMovesTheCounters();
    void maximiseRefitsRowsAndTheStatusColumn();
    void minimiseChangesNeitherRowsNorColumns();
};

void WindowLayoutTest::dialogUnitsRoundLikeTheDialogManager() {
    const CDialogUnits units(7, 15);
    QCOMPARE(units.X(403), 705);  // 705.25
    QCOMPARE(units.X(2), 4);      // 3.5 rounds up
    QCOMPARE(units.Y(400), 750);
    QCOMPARE(units.Y(4), 8);  // 7.5 rounds up
    QCOMPARE(units.Y(7), 13);
    QCOMPARE(units.Rect(7, 106, 389, 287), QRect(12, 199, 681, 538));

    const QFont font = CDialogUnits::DialogFont();
    QCOMPARE(font.pointSize(), 9);
    const CDialogUnits fromFont(font);
    const QFontMetrics metrics(font);
    QCOMPARE(fromFont.BaseY(), metrics.height());
    const int letters = metrics.horizontalAdvance(
        QStringLiteral("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"));
    QVERIFY(qAbs(fromFont.BaseX() * 52 - letters) <= 52);
}

void WindowLayoutTest::controlsSitAtTheirDialogUnitPlaces() {
    CStationWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QCOMPARE(window.size(), window.Units().Size(403, 400));
    QCOMPARE(window.InitialSize(), window.size());
    for (const UnitRect& p : kPlaces) {
        QCOMPARE(window.Control(p.id)->geometry(), Expected(window, p));
    }
}

void WindowLayoutTest::labelTextsAreNeverMarkup() {
    CStationWindow window;
    window.ShowControlText(C::kKeyFileLabel, "Key file:/tmp/<b>x</b>.kdb");
    QLabel* label = window.Label(C::kKeyFileLabel);
    QCOMPARE(label->textFormat(), Qt::PlainText);
    QCOMPARE(label->text(), QStringLiteral("Key file:/tmp/<b>x</b>.kdb"));
}

void WindowLayoutTest::theTableHasSixteenFixedRowsAndCentredColumns() {
    CStationWindow window;
    CDeviceTable* table = window.Table();
    QCOMPARE(table->rowCount(), 16);
    QCOMPARE(table->columnCount(), 3);
    QVERIFY(!table->verticalHeader()->isVisible() || table->verticalHeader()->isHidden());
    QVERIFY(!table->isSortingEnabled());
    QVERIFY(!table->horizontalHeader()->sectionsClickable());
    QCOMPARE(table->editTriggers(), QAbstractItemView::NoEditTriggers);
    QCOMPARE(table->columnWidth(0), 50);
    QCOMPARE(table->columnWidth(1), 110);
    for (int r = 0; r < 16; ++r) {
        QCOMPARE(table->CellText(r, 0), QString::number(r + 1));
        for (int c = 0; c < 3; ++c) {
            QCOMPARE(table->item(r, c)->textAlignment(), int(Qt::AlignCenter));
        }
    }
    const QFont slot = table->item(0, 0)->font();
    QCOMPARE(slot.pixelSize(), 20);
    QCOMPARE(slot.weight(), QFont::Bold);
    const QFont status = table->item(5, 2)->font();
    QCOMPARE(status.pixelSize(), 15);
    QCOMPARE(status.weight(), QFont::Normal);
    QCOMPARE(table->item(5, 1)->font().pixelSize(), 15);
    const QFont header = table->horizontalHeader()->font();
    QCOMPARE(header.pixelSize(), 20);
    QCOMPARE(header.weight(), QFont::Bold);
    // Width 10: the faces are stretched to an average character width of ten pixels.
    QVERIFY(qAbs(QFontMetrics(slot).averageCharWidth() - 10) <= 2);

    // A row's colour is set on every cell and dropped again.
    table->SetRowColour(3, QColor(255, 0, 0));
    QCOMPARE(table->item(3, 2)->background().color(), QColor(255, 0, 0));
    table->SetRowColour(3, std::nullopt);
    QVERIFY(table->item(3, 0)->data(Qt::BackgroundRole).isNull());
    QVERIFY(!table->RowColour(3));
    // Out of range rows and columns are ignored.
    table->SetCellText(16, 0, QStringLiteral("x"));
    table->SetCellText(0, 3, QStringLiteral("x"));
    table->SetRowColour(-1, QColor(0, 255, 0));
    QCOMPARE(table->CellText(15, 0), QStringLiteral("16"));
}

void WindowLayoutTest::countersFitTheirFiveDigits() {
    CStationWindow window;
    for (int id : {C::kSuccessCounter, C::kFailCounter, C::kTotalCounter}) {
        QLabel* counter = window.Label(id);
        QCOMPARE(counter->font().pixelSize(), 20);
        QVERIFY(QFontMetrics(counter->font()).horizontalAdvance(QStringLiteral("00000")) <=
                counter->width() + 1);
    }
}

void WindowLayoutTest::rowFontFollowsTheTableHeightAndTheScreensDpi() {
    const QFont base = CDialogUnits::DialogFont();
    QCOMPARE(CDeviceTable::RowFont(base, 480, 96).pixelSize(), 23);  // H 30: 22.5 rounds up
    QCOMPARE(CDeviceTable::RowFont(base, 495, 96).pixelSize(), 23);  // H 30 (integer division)
    QCOMPARE(CDeviceTable::RowFont(base, 480, 144).pixelSize(), 15);
    QCOMPARE(CDeviceTable::RowFont(base, 0, 96).pixelSize(), 1);
    QCOMPARE(CDeviceTable::RowFont(base, 480, 96).family(), base.family());
}

void WindowLayoutTest::theWindowCannotShrinkFromAnyEdgeOrCorner() {
    CStationWindow window;
    window.move(300, 300);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    const QSize minimum = window.InitialSize();
    QCOMPARE(window.minimumSize(), minimum);
    QVERIFY(window.maximumSize().width() > minimum.width());

    // Each of the eight handles dragged 80 pixels inwards.
    const int d = 80;
    const QPoint moves[8][2] = {
        {{d, 0}, {0, 0}}, {{0, 0}, {-d, 0}}, {{0, d}, {0, 0}},  {{0, 0}, {0, -d}},
        {{d, d}, {0, 0}}, {{0, d}, {-d, 0}}, {{d, 0}, {0, -d}}, {{0, 0}, {-d, -d}},
    };
    for (const auto& move : moves) {
        const QRect start(QPoint(300, 300), minimum);
        window.setGeometry(start);
        QRect dragged(start.topLeft() + move[0], start.bottomRight() + move[1]);
        window.setGeometry(dragged);
        QTest::qWait(5);
        QVERIFY2(window.width() >= minimum.width() && window.height() >= minimum.height(),
                 qPrintable(QStringLiteral("%1x%2").arg(window.width()).arg(window.height())));
    }
    window.resize(10, 10);
    QCOMPARE(window.size(), minimum);
}

void WindowLayoutTest::growingKeepsMarginsAndMovesTheCounters() {
    CStationWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    std::map<int, QRect> before;
    for (const UnitRect& p : kPlaces) {
        before[p.id] = window.Control(p.id)->geometry();
    }
    const int dx = 200;
    const int dy = 150;
    window.resize(window.width() + dx, window.height() + dy);
    QTRY_COMPARE(window.Control(C::kDeviceTable)->width(), before[C::kDeviceTable].width() + dx);

    for (int id : {C::kKeyFileButton, C::kStartStopButton, C::kExitButton, C::kConfigButton,
                   C::kKeyCountLabel, C::kUnusedLabel, C::kCreateTimeLabel}) {
        QCOMPARE(window.Control(id)->geometry(), before[id]);
    }
    QCOMPARE(window.Control(C::kKeyFileLabel)->geometry(),
             before[C::kKeyFileLabel].adjusted(0, 0, dx, 0));
    for (int id : {C::kSuccessCaption, C::kSuccessCounter, C::kFailCaption, C::kFailCounter,
                   C::kTotalCaption, C::kTotalCounter}) {
        QCOMPARE(window.Control(id)->geometry(), before[id].translated(dx, 0));
    }
    QCOMPARE(window.Control(C::kDeviceTable)->geometry(),
             before[C::kDeviceTable].adjusted(0, 0, dx, dy));
    // The summary band and the status line stay under the table, as wide as it.
    QCOMPARE(window.Control(C::kStatusLine)->geometry(),
             before[C::kStatusLine].translated(0, dy).adjusted(0, 0, dx, 0));
    QCOMPARE(window.Control(C::kSummaryLabel)->geometry(),
             before[C::kSummaryLabel].translated(0, dy).adjusted(0, 0, dx, 0));

    CDeviceTable* table = window.Table();
    QCOMPARE(table->columnWidth(2), table->viewport()->width() - 50 - 110 - 10);
    QCOMPARE(RowHeight(table), table->viewport()->height() / 16);
    for (int r = 1; r < 16; ++r) {
        QCOMPARE(table->rowHeight(r), RowHeight(table));
    }
}

void WindowLayoutTest::maximiseRefitsRowsAndTheStatusColumn() {
    CStationWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    CDeviceTable* table = window.Table();
    const int rowBefore = RowHeight(table);
    const int statusBefore = table->columnWidth(2);
    QCOMPARE(statusBefore, table->viewport()->width() - 170);
    QVERIFY(window.screen()->availableGeometry().height() > window.height() + 100);

    window.showMaximized();
    QTRY_VERIFY(window.isMaximized() && window.height() > window.InitialSize().height() + 100);
    QTRY_COMPARE(table->columnWidth(2), table->viewport()->width() - 170);
    QVERIFY(table->columnWidth(2) > statusBefore);
    QCOMPARE(RowHeight(table), table->viewport()->height() / 16);
    QVERIFY(RowHeight(table) > rowBefore);
    QCOMPARE(table->font().pixelSize(),
             CDeviceTable::RowFont(table->font(), table->viewport()->height(),
                                   table->screen()->logicalDotsPerInchY())
                 .pixelSize());
    // All sixteen rows are in view.
    QVERIFY(table->rowViewportPosition(15) + RowHeight(table) <= table->viewport()->height());

    window.showNormal();
    QTRY_COMPARE(window.size(), window.InitialSize());
    QTRY_COMPARE(RowHeight(table), rowBefore);
    QCOMPARE(table->columnWidth(2), statusBefore);
}

void WindowLayoutTest::minimiseChangesNeitherRowsNorColumns() {
    CStationWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    CDeviceTable* table = window.Table();
    const int row = RowHeight(table);
    const int status = table->columnWidth(2);
    window.showMinimized();
    QTRY_VERIFY(window.isMinimized());
    QTest::qWait(20);
    QCOMPARE(RowHeight(table), row);
    QCOMPARE(table->columnWidth(2), status);
}

QTEST_MAIN(WindowLayoutTest)
#include "WindowLayoutTest.moc"
