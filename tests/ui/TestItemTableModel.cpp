// The item table's model on its own: rows found by their item in constant time, dirty rows
// refreshed in a range with one notice, and the texts it gives the view.
#include "UiTestSupport.h"

#include <QSignalSpy>

using namespace uitest;

namespace {

// Items are only compared by address here, never read.
const OPC_Item* fakeItem(std::uintptr_t n)
{
    return reinterpret_cast<const OPC_Item*>(n * 64);
}

std::vector<ItemTableModel::Row> rows(int count)
{
    std::vector<ItemTableModel::Row> out;
    for (int i = 0; i < count; ++i) {
        ItemTableModel::Row row;
        row.item = fakeItem(static_cast<std::uintptr_t>(i + 1));
        row.name = QString("item%1").arg(i);
        row.texts = {"VT_I4", QString::number(i), "", "GOOD"};
        out.push_back(row);
    }
    return out;
}

} // namespace

class TestItemTableModel : public QObject {
    Q_OBJECT
private slots:
    void rowsAreFoundByTheirItem();
    void refreshGivesDirtyRowsInTheRangeNewTexts();
    void resetDropsMarksAndRows();
    void textsAndPictureForTheView();
};

void TestItemTableModel::rowsAreFoundByTheirItem()
{
    ItemTableModel model({});
    model.reset(rows(10000));
    QCOMPARE(model.rowCount(), 10000);
    QCOMPARE(model.rowOf(fakeItem(1)), 0);
    QCOMPARE(model.rowOf(fakeItem(5000)), 4999);
    QCOMPARE(model.rowOf(fakeItem(10000)), 9999);
    QCOMPARE(model.rowOf(fakeItem(10001)), -1);
    QCOMPARE(model.rowOf(nullptr), -1);
    QCOMPARE(model.itemAt(42), fakeItem(43));

    // The same item twice: the first row answers, as a search from the top would.
    std::vector<ItemTableModel::Row> twice = rows(3);
    twice[2].item = twice[0].item;
    model.reset(twice);
    QCOMPARE(model.rowOf(fakeItem(1)), 0);
}

void TestItemTableModel::refreshGivesDirtyRowsInTheRangeNewTexts()
{
    ItemTableModel model({});
    model.reset(rows(100));
    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
    for (int row : {5, 50, 7, 5, 90}) model.markDirty(row);
    model.markDirty(-1);
    model.markDirty(100);
    QCOMPARE(model.dirtyCount(), std::size_t(4));

    std::vector<const OPC_Item*> read;
    const auto texts = [&](const OPC_Item* item) {
        read.push_back(item);
        return ItemTableModel::Texts{"VT_R8", "new", "12:00:00:000", "BAD"};
    };
    QCOMPARE(model.refresh(0, 60, texts), std::size_t(3));
    // Each item read once, in the order its row became dirty.
    QCOMPARE(read, (std::vector<const OPC_Item*>{fakeItem(6), fakeItem(51), fakeItem(8)}));
    QCOMPARE(changed.size(), 1);
    QCOMPARE(changed[0][0].toModelIndex(), model.index(5, ItemTableModel::Type));
    QCOMPARE(changed[0][1].toModelIndex(), model.index(50, ItemTableModel::Quality));
    QCOMPARE(model.index(50, ItemTableModel::Value).data().toString(), QStringLiteral("new"));
    QCOMPARE(model.index(50, ItemTableModel::Name).data().toString(), QStringLiteral("item50"));
    QCOMPARE(model.index(6, ItemTableModel::Value).data().toString(), QStringLiteral("6"));
    // Row 90 was off the range and is still waiting.
    QCOMPARE(model.dirtyCount(), std::size_t(1));
    QCOMPARE(model.index(90, ItemTableModel::Value).data().toString(), QStringLiteral("90"));

    QCOMPARE(model.refresh(0, 60, texts), std::size_t(0));
    QCOMPARE(changed.size(), 1);
    model.dropDirty();
    QVERIFY(!model.hasDirty());
    model.markDirty(90);  // dropped marks can be set again
    QCOMPARE(model.refresh(0, 99, texts), std::size_t(1));
    QCOMPARE(model.index(90, ItemTableModel::Value).data().toString(), QStringLiteral("new"));
}

void TestItemTableModel::resetDropsMarksAndRows()
{
    ItemTableModel model({});
    model.reset(rows(10));
    model.markDirty(3);
    model.reset(rows(2));
    QVERIFY(!model.hasDirty());
    QCOMPARE(model.rowOf(fakeItem(5)), -1);
    model.clear();
    QCOMPARE(model.rowCount(), 0);
    QCOMPARE(model.rowOf(fakeItem(1)), -1);
}

void TestItemTableModel::textsAndPictureForTheView()
{
    QPixmap picture(16, 16);
    picture.fill(Qt::blue);
    ItemTableModel model{QIcon(picture)};
    model.reset(rows(1));
    QCOMPARE(model.columnCount(), 5);
    QCOMPARE(model.index(0, ItemTableModel::Name).data().toString(), QStringLiteral("item0"));
    QCOMPARE(model.index(0, ItemTableModel::Type).data().toString(), QStringLiteral("VT_I4"));
    QCOMPARE(model.index(0, ItemTableModel::Quality).data().toString(), QStringLiteral("GOOD"));
    QVERIFY(!model.index(0, ItemTableModel::Name).data(Qt::DecorationRole).value<QIcon>().isNull());
    QVERIFY(!model.index(0, ItemTableModel::Value).data(Qt::DecorationRole).isValid());
    QCOMPARE(model.headerData(3, Qt::Horizontal).toString(), QString::fromUtf8("Время"));
    QVERIFY(!model.headerData(0, Qt::Vertical).isValid());
}

UI_TEST_CLASS(TestItemTableModel);
#include "TestItemTableModel.moc"
