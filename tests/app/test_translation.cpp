#include "app/translation_loader.h"

#include <QTemporaryDir>
#include <QTranslator>
#include <QtTest>

// The tool reads its translation from the working directory it was started in.
class TestTranslation : public QObject
{
    Q_OBJECT

    QString startDirectory;

    // A fresh working directory holding the given .qm files under the given names.
    static void enterDirectoryWith(QTemporaryDir &dir, const QStringList &names)
    {
        QVERIFY(dir.isValid());
        for (const QString &name : names)
            QVERIFY(QFile::copy(QStringLiteral(MV604_PL_QM), dir.filePath(name)));
        QVERIFY(QDir::setCurrent(dir.path()));
    }

private slots:
    void initTestCase() { startDirectory = QDir::currentPath(); }
    void cleanup() { QDir::setCurrent(startDirectory); }

    void localeChoosesFile_data()
    {
        QTest::addColumn<QStringList>("files");
        QTest::addColumn<QString>("locale");
        QTest::addColumn<bool>("localeFound");
        QTest::addColumn<QString>("connectText");
        const QString polish = QStringLiteral("Połącz");
        const QStringList pl{"kr960_pl.qm"};
        QTest::newRow("pl_PL falls back to pl") << pl << "pl_PL" << true << polish;
        QTest::newRow("pl exactly") << pl << "pl" << true << polish;
        QTest::newRow("other locale, no en") << pl << "de_DE" << false << "Connect";
        QTest::newRow("other locale takes en")
            << QStringList{"kr960_en.qm"} << "de_DE" << false << polish;
        QTest::newRow("nothing at all") << QStringList{} << "pl_PL" << false << "Connect";
        QTest::newRow("bare kr960 as last short form")
            << QStringList{"kr960.qm"} << "pl_PL" << true << polish;
    }
    void localeChoosesFile()
    {
        QFETCH(QStringList, files);
        QFETCH(QString, locale);
        QFETCH(bool, localeFound);
        QFETCH(QString, connectText);
        QTemporaryDir dir;
        enterDirectoryWith(dir, files);

        QTranslator translator;
        QCOMPARE(installTranslation(translator, locale), localeFound);
        const QString shown = QCoreApplication::translate("KR960_BootloaderClass", "Connect");
        QCoreApplication::removeTranslator(&translator);
        QCOMPARE(shown, connectText);
    }

    // An empty translator is installed too, so texts simply show as written.
    void installedEvenWhenNothingLoaded()
    {
        QTemporaryDir dir;
        enterDirectoryWith(dir, {});
        QTranslator translator;
        installTranslation(translator, QStringLiteral("xx_XX"));
        QVERIFY(translator.isEmpty());
        QVERIFY(QCoreApplication::removeTranslator(&translator));
    }

    void everyTextTranslated_data()
    {
        QTest::addColumn<QString>("context");
        QTest::addColumn<QString>("source");
        const char *form[] = {"Open",
                              "Exit",
                              "Connect",
                              "Disconnect",
                              "Read",
                              "Write",
                              "WritePage",
                              "Change Firmware",
                              "RunApplication",
                              "WriteExternalFlash",
                              "ReadExternalFlash",
                              "WriteExtFlashBin",
                              "CreateUpg",
                              "CreateBootBin",
                              "Flash %p%",
                              "External Flash Write %p%",
                              "External Flash Verify %p%",
                              "File"};
        const char *window[] = {"Open File",
                                "Save File",
                                "Upg (*.upg)",
                                "Hex (*.hex)",
                                "Bin (*.bin)",
                                "HexToBin error: %1)",
                                "Error",
                                "Cannot write %1",
                                "Production year",
                                "Year(YY)",
                                "Production week",
                                "Week(WW)",
                                "Production number",
                                "Number(NNNN)",
                                "Iteration",
                                "Count:",
                                "Read From Kr960",
                                "Address (hex)",
                                "Length (dec)",
                                "Fill pattern",
                                "Number (dec)",
                                "error",
                                "Conversion error",
                                "Length error",
                                "Length should be aligned to 4",
                                "WriteExternalFlashToAddress",
                                "ReadExternalFlashFromAddress",
                                "Info",
                                "Write OK",
                                "memcmp",
                                "Write To External Flash Kr960",
                                "Data(hex)",
                                "Read External Flash From Kr960"};
        const char *worker[] = {"Wrong file header",
                                "Wrong file version",
                                "Wrong file size",
                                "USB Timeout\nCheck USB Cable",
                                "Bootloader Version Read Error",
                                "Bootloader mode",
                                "Serial:",
                                "Apllication mode",
                                "Reset device",
                                "USB timout\nCheck USB cable",
                                "Disconnect",
                                "Connect",
                                "Writting firmware ... ",
                                "ERROR",
                                "OK",
                                "Verify ERROR"};
        for (const char *source : form)
            QTest::addRow("form: %s", source) << "KR960_BootloaderClass" << source;
        for (const char *source : window)
            QTest::addRow("window: %s", source) << "KR960_Bootloader" << source;
        for (const char *source : worker)
            QTest::addRow("worker: %s", source) << "Upgrader" << source;
    }
    void everyTextTranslated()
    {
        QFETCH(QString, context);
        QFETCH(QString, source);
        QTranslator translator;
        QVERIFY(translator.load(QStringLiteral(MV604_PL_QM)));
        const QString polish =
            translator.translate(context.toUtf8().constData(), source.toUtf8().constData());
        QVERIFY2(!polish.isEmpty(), "no translation");
        for (const QString &kept :
             {QStringLiteral("%1"), QStringLiteral("%p%"), QStringLiteral("\n")}) {
            QCOMPARE(polish.count(kept), source.count(kept));
        }
        // File dialogs filter by the pattern, so it must come through unchanged.
        const QRegularExpression pattern(QStringLiteral("\\(\\*\\.\\w+\\)"));
        const QRegularExpressionMatch filter = pattern.match(source);
        if (filter.hasMatch())
            QVERIFY(polish.contains(filter.captured()));
        if (source.endsWith(' ') || source.endsWith(')'))
            QCOMPARE(polish.back(), source.back());
    }
};

QTEST_GUILESS_MAIN(TestTranslation)
#include "test_translation.moc"
