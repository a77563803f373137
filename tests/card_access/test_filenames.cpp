// The file of each operation as the parameter dialog shows it: the name
// remembered from the last run at the operation's first use, each
// operation's own name within a run, and where 参照 starts.
#include "CardAccFixture.h"

#include <QDir>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QtTest/QTest>

using namespace tvqtest;

namespace {
QSettings Registry() { return QSettings(QStringLiteral("QEVRA LABS"), QStringLiteral("TVQCRDUT")); }

class FileNameTest : public CardAccTest {
protected:
    // The file field as the dialog of operation button `button` opens; then cancelled.
    QString FieldOnOpen(QPushButton *button)
    {
        QString seen = QStringLiteral("<not shown>");
        InParamDialog([&](TInputLbaDlg *d) { seen = d->edtFilePath->text(); });
        QTest::mouseClick(button, Qt::LeftButton);
        return seen;
    }
};
} // namespace

TEST_F(FileNameTest, EachOperationShowsItsOwnNameAlsoAfterARestart)
{
    MakeUnit({4u << 20});
    const QString storedWrite = ScratchPath("stored-write.bin");
    {
        QSettings reg = Registry();
        reg.setValue(QStringLiteral("WriteFile/FileName"), storedWrite);
    }
    const QString readFile = ScratchPath("read.bin");

    RunDialog(1, [&] {
        // Nothing stored for the read: an empty field.
        EXPECT_EQ(FieldOnOpen(CardAccDlg->btnRead), QString());
        // The write's name from the last run.
        EXPECT_EQ(FieldOnOpen(CardAccDlg->btnWrite), storedWrite);
        // A read confirmed with a typed name...
        Read(0, 1, readFile);
        // ...is not the next write's source, nor the compare's file.
        EXPECT_EQ(FieldOnOpen(CardAccDlg->btnWrite), storedWrite);
        EXPECT_EQ(FieldOnOpen(CardAccDlg->btnCompare), QString());
        // The read shows it again.
        EXPECT_EQ(FieldOnOpen(CardAccDlg->btnRead), readFile);
    });

    // Program end and a new start: each operation shows its remembered name
    // when it is first opened.
    delete CardAccDlg;
    CardAccDlg = new TCardAccDlg;
    RunDialog(1, [&] {
        EXPECT_EQ(FieldOnOpen(CardAccDlg->btnRead), readFile);
        EXPECT_EQ(FieldOnOpen(CardAccDlg->btnCompare), QString());
        EXPECT_EQ(FieldOnOpen(CardAccDlg->btnWrite), storedWrite);
    });
}

TEST_F(FileNameTest, BrowseStartsOnTheFieldsFile)
{
    MakeUnit({4u << 20});
    const QString typed = ScratchPath("sub-typed.bin");
    const QString picked = ScratchPath("picked.bin");
    RunDialog(1, [&] {
        ClearFileDialogLog();
        filePicks = {picked, QString()};
        InParamDialog([&](TInputLbaDlg *d) {
            // An empty field: the dialog is given no name (the real one opens in home).
            QTest::mouseClick(d->btnRefFile, Qt::LeftButton);
            EXPECT_EQ(d->edtFilePath->text(), picked);
            // A name typed afterwards is where the next browse starts.
            d->edtFilePath->setText(typed);
            QTest::mouseClick(d->btnRefFile, Qt::LeftButton);
        });
        QTest::mouseClick(CardAccDlg->btnRead, Qt::LeftButton);
    });
    const auto &log = FileDialogLog();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[0].call.initialName, QString());
    EXPECT_EQ(log[1].call.initialName, typed);
}
