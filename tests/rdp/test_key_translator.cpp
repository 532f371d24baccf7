#include "rdp/key_translator.h"

#include <QKeyEvent>
#include <QTest>

namespace {

constexpr int kExt = KeyTranslator::kExtendedFlag;

} // namespace

class TestKeyTranslator : public QObject
{
    Q_OBJECT

private slots:
    // X keycodes of an evdev keyboard (what Xorg and Xvfb report) against Windows' set-1 scan codes.
    void x11KeycodesMapToScanCodesAndVirtualKeys_data()
    {
        QTest::addColumn<quint32>("keycode");
        QTest::addColumn<quint32>("keysym");
        QTest::addColumn<int>("qtKey");
        QTest::addColumn<int>("virtualKey");
        QTest::addColumn<int>("scanCode");

        QTest::newRow("A") << 38U << 0x61U << int(Qt::Key_A) << 0x41 << 0x1E;
        QTest::newRow("Return") << 36U << 0xff0dU << int(Qt::Key_Return) << 0x0D << 0x1C;
        QTest::newRow("Escape") << 9U << 0xff1bU << int(Qt::Key_Escape) << 0x1B << 0x01;
        QTest::newRow("Control_L") << 37U << 0xffe3U << int(Qt::Key_Control) << 0xA2 << 0x1D;
        QTest::newRow("Control_R") << 105U << 0xffe4U << int(Qt::Key_Control) << 0xA3 << (0x1D | kExt);
        QTest::newRow("Delete") << 119U << 0xffffU << int(Qt::Key_Delete) << 0x2E << (0x53 | kExt);
        QTest::newRow("Left") << 113U << 0xff51U << int(Qt::Key_Left) << 0x25 << (0x4B | kExt);
        QTest::newRow("KP_Enter") << 104U << 0xff8dU << int(Qt::Key_Enter) << 0x0D << (0x1C | kExt);
        QTest::newRow("F5") << 71U << 0xffc2U << int(Qt::Key_F5) << 0x74 << 0x3F;
        QTest::newRow("Super_L") << 133U << 0xffebU << int(Qt::Key_Meta) << 0x5B << (0x5B | kExt);
        QTest::newRow("Shift_L") << 50U << 0xffe1U << int(Qt::Key_Shift) << 0xA0 << 0x2A;
        QTest::newRow("space") << 65U << 0x20U << int(Qt::Key_Space) << 0x20 << 0x39;
    }

    void x11KeycodesMapToScanCodesAndVirtualKeys()
    {
        QFETCH(quint32, keycode);
        QFETCH(quint32, keysym);
        QFETCH(int, qtKey);
        QFETCH(int, virtualKey);
        QFETCH(int, scanCode);

        const TranslatedKey direct = KeyTranslator::translate(keycode, keysym, qtKey);
        QCOMPARE(direct.virtualKey, virtualKey);
        QCOMPARE(direct.scanCode, scanCode);

        // The key event path reads the same native codes.
        const QKeyEvent event(QEvent::KeyPress, qtKey, Qt::NoModifier, keycode, keysym, 0);
        QCOMPARE(KeyTranslator::translate(event), direct);
    }

    // Synthesized events and platforms without native codes (offscreen) carry nothing to translate:
    // such keys go to the remote side as text.
    void keyWithoutNativeCodesTakesTheTextPath()
    {
        const QKeyEvent synthesized(QEvent::KeyPress, Qt::Key_A, Qt::NoModifier, QStringLiteral("a"));
        QVERIFY(!KeyTranslator::translate(synthesized).isValid());
        QVERIFY(!KeyTranslator::translate(0, 0, Qt::Key_Return).isValid());
    }

    // A keycode outside FreeRDP's table still names the key through its virtual key; the session finds
    // the scan code.
    void unknownKeycodeFallsBackToTheVirtualKey()
    {
        const TranslatedKey key = KeyTranslator::translate(255, 0xffc2U, Qt::Key_F5);
        QCOMPARE(key.virtualKey, 0x74);
        QCOMPARE(key.scanCode, 0);
        QVERIFY(key.isValid());

        QVERIFY(!KeyTranslator::translate(255, 0x1008ff99U, Qt::Key_unknown).isValid());
    }
};

QTEST_GUILESS_MAIN(TestKeyTranslator)
#include "test_key_translator.moc"
