#include "wall/batch_text_dialog.h"
#include "wall/custom_shortcut_dialog.h"
#include "wall/soft_keyboard_dialog.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

namespace {

template <typename T> T* childByText(QWidget* parent, const QString& text)
{
    const auto children = parent->findChildren<T*>();
    for (T* child : children) {
        if (child->text() == text) {
            return child;
        }
    }
    return nullptr;
}

template <typename T> T* child(QWidget* parent, const char* objectName)
{
    return parent->findChild<T*>(QLatin1String(objectName));
}

using Combination = QList<int>;

} // namespace

class TestBatchInputDialogs : public QObject
{
    Q_OBJECT

private slots:
    void customDialogShowsCountAndDefaults();
    void customMainKeysAreOrderedWithTheirCodes();
    void customPreviewFollowsEveryChange();
    void customSendAcceptsAndCancelRejects();

    void batchTextStartsEmptyAndDisabled();
    void batchTextCutsLongPasteOnce();
    void batchTextSendFollowsEmptiness();

    void softKeyboardKeySendsItsCode_data();
    void softKeyboardKeySendsItsCode();
    void softKeyboardLayoutAndTexts();
    void softKeyboardDangerousCombinationsAskConfirm_data();
    void softKeyboardDangerousCombinationsAskConfirm();
    void softKeyboardModifiersClearAfterTheReceiver();
    void softKeyboardClearButtonUnlightsWithoutSending();
};

void TestBatchInputDialogs::customDialogShowsCountAndDefaults()
{
    CustomShortcutDialog dialog(3);
    QCOMPARE(dialog.windowTitle(), QStringLiteral("自定义批量快捷键"));
    QCOMPARE(dialog.minimumWidth(), 520);
    QVERIFY(childByText<QLabel>(&dialog,
                                QStringLiteral("组合一个快捷键并发送到 3 台已连接主机。按键会按顺序按下并反向"
                                               "释放，不会让 Ctrl、Alt 等修饰键停留在远程电脑上。")));
    QVERIFY(childByText<QPushButton>(&dialog, QStringLiteral("发送到 3 台")));

    auto* confirm = child<QCheckBox>(&dialog, "confirmCheck");
    QVERIFY(confirm);
    QCOMPARE(confirm->text(), QStringLiteral("发送前再次确认"));
    QVERIFY(dialog.confirmBeforeSend());
    confirm->setChecked(false);
    QVERIFY(!dialog.confirmBeforeSend());

    auto* preview = child<QLabel>(&dialog, "previewLabel");
    QVERIFY(preview);
    QCOMPARE(preview->styleSheet(), QStringLiteral("font-weight:600;color:#2563eb;padding:8px 0"));
    // Nothing checked: the combination is just the first main key.
    QCOMPARE(dialog.label(), QStringLiteral("A"));
    QCOMPARE(dialog.keys(), Combination({65}));
}

void TestBatchInputDialogs::customMainKeysAreOrderedWithTheirCodes()
{
    const auto keys = CustomShortcutDialog::mainKeys();
    QCOMPARE(keys.size(), 26 + 10 + 24 + 15);
    for (int i = 0; i < 26; ++i) {
        QCOMPARE(keys.at(i), qMakePair(QString(QChar('A' + i)), 65 + i));
    }
    for (int i = 0; i < 10; ++i) {
        QCOMPARE(keys.at(26 + i), qMakePair(QString(QChar('0' + i)), 48 + i));
    }
    for (int i = 0; i < 24; ++i) {
        QCOMPARE(keys.at(36 + i), qMakePair(QStringLiteral("F%1").arg(i + 1), 112 + i));
    }
    const QList<QPair<QString, int>> named = {
        {QStringLiteral("Enter"), 13},     {QStringLiteral("Esc"), 27},
        {QStringLiteral("Tab"), 9},        {QStringLiteral("Space"), 32},
        {QStringLiteral("Backspace"), 8},  {QStringLiteral("Delete"), 46},
        {QStringLiteral("Insert"), 45},    {QStringLiteral("Home"), 36},
        {QStringLiteral("End"), 35},       {QStringLiteral("Page Up"), 33},
        {QStringLiteral("Page Down"), 34}, {QStringLiteral("方向键 ↑"), 38},
        {QStringLiteral("方向键 ↓"), 40},  {QStringLiteral("方向键 ←"), 37},
        {QStringLiteral("方向键 →"), 39}};
    QCOMPARE(keys.mid(60), named);

    CustomShortcutDialog dialog(1);
    auto* combo = child<QComboBox>(&dialog, "mainKeyCombo");
    QVERIFY(combo);
    QCOMPARE(combo->count(), keys.size());
    for (int i = 0; i < keys.size(); ++i) {
        QCOMPARE(combo->itemText(i), keys.at(i).first);
        QCOMPARE(combo->itemData(i).toInt(), keys.at(i).second);
    }
}

void TestBatchInputDialogs::customPreviewFollowsEveryChange()
{
    CustomShortcutDialog dialog(2);
    auto* preview = child<QLabel>(&dialog, "previewLabel");
    auto* combo = child<QComboBox>(&dialog, "mainKeyCombo");
    auto* ctrl = childByText<QCheckBox>(&dialog, QStringLiteral("Ctrl"));
    auto* shift = childByText<QCheckBox>(&dialog, QStringLiteral("Shift"));
    QVERIFY(preview && combo && ctrl && shift);

    ctrl->click();
    QCOMPARE(preview->text(), QStringLiteral("Ctrl + A"));
    shift->click();
    QCOMPARE(preview->text(), QStringLiteral("Ctrl + Shift + A"));
    combo->setCurrentIndex(combo->findText(QStringLiteral("Esc")));
    QCOMPARE(preview->text(), QStringLiteral("Ctrl + Shift + Esc"));
    QCOMPARE(dialog.label(), preview->text());
    QCOMPARE(dialog.keys(), Combination({17, 16, 27}));

    ctrl->click();
    QCOMPARE(preview->text(), QStringLiteral("Shift + Esc"));
    QCOMPARE(dialog.keys(), Combination({16, 27}));

    // Checked in reverse so that the order cannot come from the clicks.
    for (const char* name : {"Win", "Alt", "Ctrl"}) {
        childByText<QCheckBox>(&dialog, QLatin1String(name))->click();
    }
    combo->setCurrentIndex(combo->findText(QStringLiteral("方向键 ←")));
    QCOMPARE(preview->text(), QStringLiteral("Ctrl + Alt + Shift + Win + 方向键 ←"));
    QCOMPARE(dialog.keys(), Combination({17, 18, 16, 91, 37}));
}

void TestBatchInputDialogs::customSendAcceptsAndCancelRejects()
{
    CustomShortcutDialog sent(5);
    QSignalSpy accepted(&sent, &QDialog::accepted);
    QTest::mouseClick(childByText<QPushButton>(&sent, QStringLiteral("发送到 5 台")), Qt::LeftButton);
    QCOMPARE(accepted.count(), 1);
    QCOMPARE(sent.result(), int(QDialog::Accepted));

    CustomShortcutDialog cancelled(5);
    QSignalSpy rejected(&cancelled, &QDialog::rejected);
    auto* cancel = cancelled.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Cancel);
    QVERIFY(cancel);
    QTest::mouseClick(cancel, Qt::LeftButton);
    QCOMPARE(rejected.count(), 1);
}

void TestBatchInputDialogs::batchTextStartsEmptyAndDisabled()
{
    BatchTextDialog dialog(4);
    QCOMPARE(dialog.windowTitle(), QStringLiteral("批量键盘输入"));
    QCOMPARE(dialog.minimumWidth(), 520);
    auto* label = childByText<QLabel>(
        &dialog, QStringLiteral("输入的文字将发送到 4 台已连接远程主机当前获得焦点的窗口。\n"
                                "此功能只模拟键盘输入，不会在后台执行命令。最多 256 个字符。"));
    QVERIFY(label);
    QVERIFY(label->wordWrap());

    auto* editor = child<QPlainTextEdit>(&dialog, "batchTextEdit");
    QVERIFY(editor);
    QCOMPARE(editor->placeholderText(), QStringLiteral("例如：notepad\n或在每台主机当前窗口输入相同的文字"));
    auto* enter = child<QCheckBox>(&dialog, "enterCheck");
    QVERIFY(enter);
    QCOMPARE(enter->text(), QStringLiteral("发送完成后自动按 Enter"));
    QVERIFY(!dialog.pressEnter());
    enter->setChecked(true);
    QVERIFY(dialog.pressEnter());

    auto* send = childByText<QPushButton>(&dialog, QStringLiteral("发送到 4 台"));
    QVERIFY(send);
    QVERIFY(!send->isEnabled());
}

void TestBatchInputDialogs::batchTextCutsLongPasteOnce()
{
    BatchTextDialog dialog(2);
    auto* editor = child<QPlainTextEdit>(&dialog, "batchTextEdit");
    auto* send = childByText<QPushButton>(&dialog, QStringLiteral("发送到 2 台"));
    QSignalSpy changes(editor, &QPlainTextEdit::textChanged);

    QString pasted;
    for (int i = 0; i < 300; ++i) {
        pasted.append(QChar('a' + i % 26));
    }
    QApplication::clipboard()->setText(pasted);
    editor->paste();

    QCOMPARE(dialog.text(), pasted.left(BatchTextDialog::kMaxLength));
    QCOMPARE(editor->textCursor().position(), BatchTextDialog::kMaxLength);
    QCOMPARE(changes.count(), 1);
    QVERIFY(send->isEnabled());

    // A full editor does not grow by typing.
    QTest::keyClicks(editor, QStringLiteral("xyz"));
    QCOMPARE(dialog.text(), pasted.left(BatchTextDialog::kMaxLength));
}

void TestBatchInputDialogs::batchTextSendFollowsEmptiness()
{
    BatchTextDialog dialog(2);
    auto* editor = child<QPlainTextEdit>(&dialog, "batchTextEdit");
    auto* send = childByText<QPushButton>(&dialog, QStringLiteral("发送到 2 台"));

    QTest::keyClicks(editor, QStringLiteral("notepad"));
    QVERIFY(send->isEnabled());
    editor->clear();
    QVERIFY(!send->isEnabled());
    editor->insertPlainText(QStringLiteral("记事本"));
    QVERIFY(send->isEnabled());

    QSignalSpy accepted(&dialog, &QDialog::accepted);
    QTest::mouseClick(send, Qt::LeftButton);
    QCOMPARE(accepted.count(), 1);
    QCOMPARE(dialog.text(), QStringLiteral("记事本"));
}

void TestBatchInputDialogs::softKeyboardKeySendsItsCode_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("row");
    QTest::addColumn<int>("column");
    QTest::addColumn<int>("code");

    QTest::newRow("Esc") << "Esc" << 0 << 0 << 27;
    QTest::newRow("F4") << "F4" << 0 << 4 << 115;
    QTest::newRow("0") << "0" << 1 << 9 << 48;
    QTest::newRow("Backspace") << "Backspace" << 1 << 12 << 8;
    QTest::newRow("P") << "P" << 2 << 10 << 80;
    QTest::newRow("A") << "A" << 3 << 1 << 65;
    QTest::newRow("Enter") << "Enter" << 3 << 12 << 13;
    QTest::newRow("Z") << "Z" << 4 << 2 << 90;
    QTest::newRow("Space") << "Space" << 4 << 12 << 32;
    QTest::newRow("PgDn") << "PgDn" << 5 << 5 << 34;
    QTest::newRow("left") << "←" << 5 << 7 << 37;
    QTest::newRow("right") << "→" << 5 << 10 << 39;
}

void TestBatchInputDialogs::softKeyboardKeySendsItsCode()
{
    QFETCH(QString, text);
    QFETCH(int, row);
    QFETCH(int, column);
    QFETCH(int, code);

    SoftKeyboardDialog dialog;
    auto* grid = dialog.findChild<QGridLayout*>();
    auto* button = childByText<QPushButton>(&dialog, text);
    QVERIFY(grid && button);
    QCOMPARE(grid->itemAtPosition(row, column)->widget(), button);

    QSignalSpy requested(&dialog, &SoftKeyboardDialog::combinationRequested);
    QTest::mouseClick(button, Qt::LeftButton);
    QCOMPARE(requested.count(), 1);
    QCOMPARE(requested.at(0).at(0).value<Combination>(), Combination({code}));
    QCOMPARE(requested.at(0).at(1).toString(), text);
    QCOMPARE(requested.at(0).at(2).toBool(), false);
}

void TestBatchInputDialogs::softKeyboardLayoutAndTexts()
{
    SoftKeyboardDialog dialog;
    QCOMPARE(dialog.windowTitle(), QStringLiteral("批量软键盘"));
    QVERIFY(dialog.isModal());
    QCOMPARE(dialog.minimumWidth(), 820);
    auto* label = childByText<QLabel>(
        &dialog, QStringLiteral("点击按键会发送到当前所有已连接的远程主机。可先点亮 Ctrl、Alt、"
                                "Shift 或 Win，再按其他键组合；组合发送后修饰键会自动取消。"));
    QVERIFY(label);
    QVERIFY(label->wordWrap());
    for (const char* name : {"modCtrl", "modAlt", "modShift", "modWin"}) {
        auto* modifier = child<QPushButton>(&dialog, name);
        QVERIFY(modifier);
        QVERIFY(modifier->isCheckable());
        QCOMPARE(modifier->toolTip(), QStringLiteral("点亮后与下一次按键组合发送"));
    }

    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    auto* grid = dialog.findChild<QGridLayout*>();
    QCOMPARE(grid->spacing(), 5);
    QCOMPARE(grid->count(), 13 + 13 + 13 + 12 + 11 + 10);
    QVERIFY(!grid->itemAtPosition(3, 0));
    QVERIFY(!grid->itemAtPosition(5, 6));
    for (int i = 0; i < grid->count(); ++i) {
        QWidget* key = grid->itemAt(i)->widget();
        QVERIFY2(key->width() >= 48, qPrintable(static_cast<QPushButton*>(key)->text()));
    }

    QSignalSpy rejected(&dialog, &QDialog::rejected);
    QTest::mouseClick(dialog.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Close), Qt::LeftButton);
    QCOMPARE(rejected.count(), 1);
}

void TestBatchInputDialogs::softKeyboardDangerousCombinationsAskConfirm_data()
{
    QTest::addColumn<QStringList>("modifiers");
    QTest::addColumn<QString>("key");
    QTest::addColumn<Combination>("keys");
    QTest::addColumn<QString>("label");
    QTest::addColumn<bool>("confirm");

    QTest::newRow("Win+L") << QStringList{"modWin"} << "L" << Combination{91, 76} << "Win + L" << true;
    QTest::newRow("Ctrl+C") << QStringList{"modCtrl"} << "C" << Combination{17, 67} << "Ctrl + C" << false;
    QTest::newRow("Ctrl+Alt+Del") << QStringList{"modAlt", "modCtrl"} << "Del" << Combination{17, 18, 46}
                                  << "Ctrl + Alt + Del" << true;
    QTest::newRow("Ctrl+Del") << QStringList{"modCtrl"} << "Del" << Combination{17, 46} << "Ctrl + Del"
                              << false;
    QTest::newRow("Alt+F4") << QStringList{"modAlt"} << "F4" << Combination{18, 115} << "Alt + F4" << true;
    QTest::newRow("Shift+Win+L") << QStringList{"modWin", "modShift"} << "L" << Combination{16, 91, 76}
                                 << "Shift + Win + L" << true;
}

void TestBatchInputDialogs::softKeyboardDangerousCombinationsAskConfirm()
{
    QFETCH(QStringList, modifiers);
    QFETCH(QString, key);
    QFETCH(Combination, keys);
    QFETCH(QString, label);
    QFETCH(bool, confirm);

    SoftKeyboardDialog dialog;
    for (const QString& name : modifiers) {
        QTest::mouseClick(dialog.findChild<QPushButton*>(name), Qt::LeftButton);
    }
    QSignalSpy requested(&dialog, &SoftKeyboardDialog::combinationRequested);
    QTest::mouseClick(childByText<QPushButton>(&dialog, key), Qt::LeftButton);

    QCOMPARE(requested.count(), 1);
    QCOMPARE(requested.at(0).at(0).value<Combination>(), keys);
    QCOMPARE(requested.at(0).at(1).toString(), label);
    QCOMPARE(requested.at(0).at(2).toBool(), confirm);
    QCOMPARE(SoftKeyboardDialog::isDangerous(keys), confirm);
    QVERIFY(dialog.litModifiers().isEmpty());
}

void TestBatchInputDialogs::softKeyboardModifiersClearAfterTheReceiver()
{
    SoftKeyboardDialog dialog;
    auto* ctrl = child<QPushButton>(&dialog, "modCtrl");
    ctrl->click();
    QVERIFY(ctrl->isChecked());
    QCOMPARE(dialog.litModifiers(), Combination({17}));

    // The receiver may still look at the lit modifiers, e.g. while asking the user.
    Combination litDuringSignal;
    connect(&dialog, &SoftKeyboardDialog::combinationRequested, &dialog,
            [&] { litDuringSignal = dialog.litModifiers(); });
    QTest::mouseClick(childByText<QPushButton>(&dialog, QStringLiteral("C")), Qt::LeftButton);
    QCOMPARE(litDuringSignal, Combination({17}));
    QVERIFY(!ctrl->isChecked());

    // The next key goes alone.
    QSignalSpy requested(&dialog, &SoftKeyboardDialog::combinationRequested);
    QTest::mouseClick(childByText<QPushButton>(&dialog, QStringLiteral("V")), Qt::LeftButton);
    QCOMPARE(requested.at(0).at(0).value<Combination>(), Combination({86}));
}

void TestBatchInputDialogs::softKeyboardClearButtonUnlightsWithoutSending()
{
    SoftKeyboardDialog dialog;
    const QList<QPushButton*> modifiers = {
        child<QPushButton>(&dialog, "modCtrl"), child<QPushButton>(&dialog, "modAlt"),
        child<QPushButton>(&dialog, "modShift"), child<QPushButton>(&dialog, "modWin")};
    for (QPushButton* modifier : modifiers) {
        QTest::mouseClick(modifier, Qt::LeftButton);
    }
    QCOMPARE(dialog.litModifiers(), Combination({17, 18, 16, 91}));

    QSignalSpy requested(&dialog, &SoftKeyboardDialog::combinationRequested);
    QTest::mouseClick(childByText<QPushButton>(&dialog, QStringLiteral("清除组合键")), Qt::LeftButton);
    QCOMPARE(requested.count(), 0);
    QVERIFY(dialog.litModifiers().isEmpty());
    for (QPushButton* modifier : modifiers) {
        QVERIFY(!modifier->isChecked());
    }
}

QTEST_MAIN(TestBatchInputDialogs)
#include "test_batch_input_dialogs.moc"
