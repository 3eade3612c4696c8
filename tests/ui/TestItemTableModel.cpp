// The item table's model on its own: a refresh tells the views in one notice, and the texts and
// the picture it gives them (the rows themselves are the form's, tested there).
#include "UiTestSupport.h"

#include <QSignalSpy>

using namespace uitest;

namespace {

// Items are only compared by address here, never read.
const OPC_Item* fakeItem(std::uintptr_t n)
{
    return reinterpret_cast<const OPC_Item*>(n * 64);
}

std::vector<form::ItemRow> rows(int count)
{
    std::vector<form::ItemRow> out;
    for (int i = 0; i < count; ++i)
        out.push_back({fakeItem(static_cast<std::uintptr_t>(i + 1)), "item" + std::to_string(i),
                       {"VT_I4", std::to_string(i), "", "GOOD"}});
    return out;
}

} // namespace

class TestItemTableModel : public QObject {
    Q_OBJECT
private slots:
    void refreshTellsTheViewsOnceForTheSpan();
    void textsAndPictureForTheView();
};

void TestItemTableModel::refreshTellsTheViewsOnceForTheSpan()
{
    ItemTableModel model({});
    model.reset(rows(100));
    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
    for (int row : {5, 50, 7, 90}) model.markDirty(row);
    const auto texts = [](const OPC_Item*) { return form::ItemTexts{"VT_R8", "новое", "12:00:00:000", "BAD"}; };
    QCOMPARE(model.refresh(0, 60, texts), std::size_t(3));
    QCOMPARE(changed.size(), 1);
    QCOMPARE(changed[0][0].toModelIndex(), model.index(5, ItemTableModel::Type));
    QCOMPARE(changed[0][1].toModelIndex(), model.index(50, ItemTableModel::Quality));
    QCOMPARE(model.index(50, ItemTableModel::Value).data().toString(), QString::fromUtf8("новое"));
    QCOMPARE(model.refresh(0, 60, texts), std::size_t(0));
    QCOMPARE(changed.size(), 1);
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
