// Byte codecs of the device manager and the OTA frame layouts.
#include "otaframes.h"
#include "qhidusbmgr.h"
#include "simkit.h"

#include <QtTest>

namespace {

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(QByteArray(text));
}

uint32_t crcOf(const QByteArray &data, uint32_t length)
{
    return QHidUsbMgr::CalcCrc32(0xFFFFFFFFu, reinterpret_cast<const unsigned char *>(data.constData()),
                                 length);
}

} // namespace

class TestCodecs : public QObject
{
    Q_OBJECT

private slots:
    void fromHexString_data();
    void fromHexString();
    void toHexString_data();
    void toHexString();
    void hexRoundTrip();
    void xorCheck_data();
    void xorCheck();
    void xorCheckNull();
    void crcTable();
    void crc32_data();
    void crc32();
    void crc32Continues();
    void frames_data();
    void frames();
};

void TestCodecs::fromHexString_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("pairs with blanks") << "01 02 ff" << hex("0102ff");
    QTest::newRow("pairs without blanks") << "0102ff" << hex("0102ff");
    QTest::newRow("mixed case") << "AB cd" << hex("abcd");
    QTest::newRow("single digits") << "1 2 3" << hex("010203");
    QTest::newRow("odd run") << "abc" << hex("ab0c");
    QTest::newRow("two odd runs") << "abc def" << hex("ab0cde0f");
    QTest::newRow("bad pair dropped") << "0g 12" << hex("12");
    QTest::newRow("bad pair in run") << "0g12" << hex("12");
    QTest::newRow("lone comma") << "12, 34" << hex("1234");
    QTest::newRow("comma inside run") << "12,34" << hex("1204");
    QTest::newRow("one digit") << "a" << hex("0a");
    QTest::newRow("only blanks") << "    " << QByteArray();
    QTest::newRow("empty") << "" << QByteArray();
    QTest::newRow("runs of blanks") << "  01   2  " << hex("0102");
    QTest::newRow("tab is not a separator") << "01\t02" << hex("010002");
    QTest::newRow("hex text form") << "0a ff 41 " << hex("0aff41");
}

void TestCodecs::fromHexString()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, bytes);
    QCOMPARE(QHidUsbMgr::FromHexString(text), bytes);
}

void TestCodecs::toHexString_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("text");
    QTest::newRow("empty") << QByteArray() << "";
    QTest::newRow("zero") << hex("00") << "00 ";
    QTest::newRow("lower case") << hex("ab") << "ab ";
    QTest::newRow("three") << hex("0aff41") << "0a ff 41 ";
    QTest::newRow("high bit") << hex("80fe7f") << "80 fe 7f ";
}

void TestCodecs::toHexString()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, text);
    QCOMPARE(QHidUsbMgr::ToHexString(bytes), text);
}

void TestCodecs::hexRoundTrip()
{
    QByteArray all;
    for (int i = 0; i < 256; ++i)
        all.append(static_cast<char>(i));
    QCOMPARE(QHidUsbMgr::FromHexString(QHidUsbMgr::ToHexString(all)), all);
}

void TestCodecs::xorCheck_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("check");
    QTest::newRow("12 34 56 78") << hex("12345678") << 0x08;
    QTest::newRow("01 02 04 08") << hex("01020408") << 0x0F;
    QTest::newRow("one byte") << hex("a5") << 0xA5;
    QTest::newRow("cancelling") << hex("ffff") << 0x00;
    QTest::newRow("size 1000") << hex("e8030000") << 0xEB;
}

void TestCodecs::xorCheck()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, check);
    QCOMPARE(static_cast<unsigned char>(QHidUsbMgr::XorCheck(bytes.constData(), bytes.size())), check);
}

void TestCodecs::xorCheckNull()
{
    QCOMPARE(QHidUsbMgr::XorCheck(nullptr, 4), char(0));
}

void TestCodecs::crcTable()
{
    QCOMPARE(QHidUsbMgr::crcTable[0], 0x00000000u);
    QCOMPARE(QHidUsbMgr::crcTable[1], 0x77073096u);
    QCOMPARE(QHidUsbMgr::crcTable[255], 0x2D02EF8Du);
    // Every entry is its index put through eight reflected steps.
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int bit = 0; bit < 8; ++bit)
            c = (c & 1u) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
        QCOMPARE(QHidUsbMgr::crcTable[i], c);
    }
}

void TestCodecs::crc32_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<uint>("expected");
    QTest::newRow("check value") << QByteArray("123456789") << 0xCBF43926u;
    QTest::newRow("empty") << QByteArray() << 0u;
    // Images of 64 KiB and more are covered whole: a 16-bit length would give
    // 0 for 65,536 bytes and the CRC of a prefix for the others.
    for (int size : {1, 59, 60, 61, 1000, 65535, 65536, 65537, 100000, 1 << 20}) {
        const QByteArray image = simkit::image(size);
        QTest::newRow(qPrintable(QString("image %1").arg(size))) << image << simkit::crc32(image);
    }
}

void TestCodecs::crc32()
{
    QFETCH(QByteArray, data);
    QFETCH(uint, expected);
    QCOMPARE(crcOf(data, static_cast<uint32_t>(data.size())), expected);
}

void TestCodecs::crc32Continues()
{
    // A CRC continues over a further run when the previous result is
    // complemented and passed as the start value.
    const QByteArray data("123456789");
    const auto *bytes = reinterpret_cast<const unsigned char *>(data.constData());
    const uint32_t first = QHidUsbMgr::CalcCrc32(0xFFFFFFFFu, bytes, 4);
    const uint32_t whole = QHidUsbMgr::CalcCrc32(first ^ 0xFFFFFFFFu, bytes + 4, 5);
    QCOMPARE(whole, 0xCBF43926u);
}

void TestCodecs::frames_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("E1") << OtaFrames::Start() << hex("41542B4F54413D45313A310D");
    QTest::newRow("E2 empty image") << OtaFrames::Size(0) << hex("41542B4F54413D45323A00000000000D");
    QTest::newRow("E2 1000 bytes") << OtaFrames::Size(1000) << hex("41542B4F54413D45323A E8030000 EB 0D");
    QTest::newRow("E2 100000 bytes") << OtaFrames::Size(100000) << hex("41542B4F54413D45323A A0860100 27 0D");
    QTest::newRow("E4 of 123456789") << OtaFrames::Checksum(0xCBF43926u)
                                      << hex("41542B4F54413D45343A 2639F4CB 20 0D");
    QTest::newRow("E4 zero") << OtaFrames::Checksum(0) << hex("41542B4F54413D45343A00000000000D");
    QTest::newRow("packet 1 of 60") << OtaFrames::DataPacket(1, QByteArray(60, 'x'))
                                    << hex("01000000") + QByteArray(60, 'x');
    QTest::newRow("packet 2, last byte") << OtaFrames::DataPacket(2, "\x7f") << hex("020000007f");
    QTest::newRow("packet 0x01020304") << OtaFrames::DataPacket(0x01020304u, "ab")
                                       << hex("04030201") + "ab";
}

void TestCodecs::frames()
{
    QFETCH(QByteArray, frame);
    QFETCH(QByteArray, bytes);
    QCOMPARE(frame.toHex(' '), bytes.toHex(' '));
}

QTEST_APPLESS_MAIN(TestCodecs)
#include "tst_codecs.moc"
