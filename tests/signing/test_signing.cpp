// Signed upgrade files: keys made and files signed by the real minisign program, both kinds of
// signature, checked by mv604-cli and programmed (or refused) under mv604-sim. A refusal is
// judged by the simulator's request log: not one request may reach the board.

#include "device/usbkr960.h"
#include "sim/simulated_bus.h"
#include "station/station_window.h"
#include "upgrade/trusted_keys.h"
#include "upgrade/upgrade_file.h"

#include "process_run.h"
#include "request_log.h"
#include "upgrade_fixtures.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QRegularExpression>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

class TestSigning : public QObject
{
    Q_OBJECT

    QTemporaryDir work;
    const QByteArray application =
        fixtures::applicationWithChecksum(fixtures::firmwareBytes(UpgradeFile::ApplicationSize, 3));
    const QByteArray fileBytes = fixtures::upgradeFileBytes(application);
    QString ownerKeyId;
    QString otherKeyId;
    TrustedKeys ownerKey; // owner.pub, as a station or the worker is given it

    QString path(const QString &name) const { return work.filePath(name); }

    // Runs a program in the work folder with HOME there, so that minisign finds no user keys.
    ProcessRun run(const QString &program, const QStringList &arguments,
                   const QString &trustedFolder = QString()) const
    {
        return runProcess(program, arguments, work.path(),
                          environmentWith({"HOME=" + work.path(),
                                           trustedFolder.isEmpty()
                                               ? QString("MV604_TRUSTED_KEYS")
                                               : "MV604_TRUSTED_KEYS=" + path(trustedFolder)}));
    }
    QString keyIdOf(const QString &publicKey) const
    {
        return QString::fromLatin1(readFile(path(publicKey)).split('\n').first().split(' ').last());
    }

    // fw.upg and its signature as the row wants them.
    void prepare(const QString &how)
    {
        QVERIFY(writeFile(path("fw.upg"), fileBytes));
        QFile::remove(path("fw.upg.minisig"));
        if (how == "unsigned")
            return;
        const QString key = how == "another key" ? "other.key" : "owner.key";
        QStringList signing{"-S", "-s", key, "-m", "fw.upg", "-t", "KR960 app 1.4.2"};
        if (how == "legacy")
            signing << "-l";
        const ProcessRun signed_ = run("minisign", signing);
        QVERIFY2(signed_.exitCode == 0, qPrintable(signed_.err));
        QByteArray file = fileBytes;
        QByteArray signature = readFile(path("fw.upg.minisig"));
        if (how == "one byte changed")
            file[int(UpgradeFile::ImageFileOffset) + 0x5000] ^= 0x01;
        if (how == "a byte appended")
            file += '\0';
        if (how == "trusted comment changed")
            signature.replace("KR960 app 1.4.2", "KR960 app 1.4.3");
        if (how == "malformed signature")
            signature = "untrusted comment: hello\nnot base64 at all\ntrusted comment: x\nAAAA\n";
        if (how == "truncated signature")
            signature.truncate(signature.indexOf('\n') + 40);
        if (how == "truncated global signature")
            signature.chop(30);
        QVERIFY(writeFile(path("fw.upg"), file) && writeFile(path("fw.upg.minisig"), signature));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(work.isValid());
        QStandardPaths::setTestModeEnabled(true); // the station window remembers no file of ours
        QSettings().clear();
        QVERIFY2(!QStandardPaths::findExecutable("minisign").isEmpty(),
                 "minisign is missing: scripts/install-deps --test installs it");
        QVERIFY(!QFileInfo(TrustedKeyFolders::System).exists() ||
                QDir(TrustedKeyFolders::System).isEmpty());
        for (const QString key : {"owner", "other"})
            QCOMPARE(run("minisign", {"-G", "-W", "-p", key + ".pub", "-s", key + ".key"}).exitCode,
                     0);
        ownerKeyId = keyIdOf("owner.pub");
        otherKeyId = keyIdOf("other.pub");
        QString error;
        QVERIFY2(loadTrustedKeys({path("owner.pub")}, false, &ownerKey, &error), qPrintable(error));
        QVERIFY(QDir().mkpath(path("keys.d")) && QDir().mkpath(path("bad.d")));
        QVERIFY(QFile::copy(path("owner.pub"), path("keys.d/owner.pub")));
        QVERIFY(writeFile(path("bad.pub"), "untrusted comment: minisign public key\nRWQ\n"));
        QVERIFY(QFile::copy(path("bad.pub"), path("bad.d/bad.pub")));
    }

    // Each row: how the file and its signature are made, the keys given (before the command, or
    // MV604_TRUSTED_KEYS), what mv604-cli says, and whether the board was programmed.
    void signedFiles_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<QString>("keys");   // options before the command
        QTest::addColumn<QString>("folder"); // MV604_TRUSTED_KEYS, in the work folder
        QTest::addColumn<QString>("said");   // by check-signature and by a refused upgrade
        QTest::addColumn<bool>("programmed");
        const QString owner = "--trusted-key owner.pub", good = "signed by %1: KR960 app 1.4.2";
        const QString notMinisign = "fw.upg.minisig is not a minisign signature: ";
        const auto row = [](const char *name) -> QTestData & { return QTest::newRow(name); };
        // clang-format off
        row("a good file") << "current" << owner << "" << good << true;
        row("a good file, legacy signature") << "legacy" << owner << "" << good << true;
        row("a good file, key from MV604_TRUSTED_KEYS") << "current" << "" << "keys.d" << good << true;
        row("one byte changed") << "one byte changed" << owner << "" << "fw.upg does not match its signature by key %1: the file was changed after it was signed" << false;
        row("a byte appended, the file still valid") << "a byte appended" << owner << "" << "fw.upg does not match its signature by key %1" << false;
        row("trusted comment changed") << "trusted comment changed" << owner << "" << "the trusted comment of fw.upg.minisig was changed after it was signed" << false;
        row("signed by another key") << "another key" << owner << "" << "fw.upg is signed by key %2, which is not a trusted key" << false;
        row("no signature") << "unsigned" << owner << "" << "fw.upg is not signed: there is no fw.upg.minisig next to it" << false;
        row("malformed signature") << "malformed signature" << owner << "" << notMinisign + "its second line" << false;
        row("truncated signature") << "truncated signature" << owner << "" << notMinisign + "it does not have minisign's four lines" << false;
        row("truncated global signature") << "truncated global signature" << owner << "" << notMinisign + "its fourth line is not a base64 global signature of 64 bytes" << false;
        row("MV604_TRUSTED_KEYS names no folder") << "current" << owner << "missing.d" << "MV604_TRUSTED_KEYS names " + path("missing.d") + ", which is not a folder" << false;
        row("malformed key file") << "current" << owner + " --trusted-key bad.pub" << "" << "trusted key bad.pub: not a minisign public key" << false;
        row("malformed key file in MV604_TRUSTED_KEYS") << "current" << owner << "bad.d" << "/bad.d/bad.pub: not a minisign public key" << false;
        row("a signature required, no key") << "current" << "--require-signature" << "" << "no trusted key is configured to check it against: put the release manager's minisign public key (.pub) in /etc/mv604/keys.d/" << false;
        row("no key, no requirement: unsigned is programmed") << "unsigned" << "" << "" << "" << true;
        // clang-format on
    }
    void signedFiles()
    {
        QFETCH(QString, how);
        QFETCH(QString, keys);
        QFETCH(QString, folder);
        QFETCH(QString, said);
        QFETCH(bool, programmed);
        prepare(how);
        said = said.replace("%1", ownerKeyId).replace("%2", otherKeyId);
        const QStringList options = keys.split(' ', Qt::SkipEmptyParts);

        if (!said.isEmpty()) {
            const ProcessRun check =
                run(MV604_CLI, options + QStringList{"check-signature", "fw.upg"}, folder);
            QCOMPARE(check.exitCode, programmed ? 0 : 1);
            if (programmed)
                QCOMPARE(check.out,
                         QString("key id: %1\ntrusted comment: KR960 app 1.4.2\ntrusted\n")
                             .arg(ownerKeyId));
            else
                QVERIFY2((check.out + check.err).contains(said), qPrintable(check.out + check.err));
        }
        // minisign itself, with the owner's key, accepts the files made as signed and no other.
        const bool goodFile = how == "current" || how == "legacy";
        QCOMPARE(run("minisign", {"-V", "-p", "owner.pub", "-m", "fw.upg"}).exitCode == 0,
                 goodFile);

        // The station window, given the owner's key, shows the same before Start: who signed the
        // file under its facts, or in their place why it is refused, in red.
        if (keys == "--trusted-key owner.pub" && folder.isEmpty()) {
            StationWindow window{QString(), QString()};
            window.useTrustedKeys(ownerKey);
            QCOMPARE(window.chooseUpgradeFile(path("fw.upg")), programmed);
            const auto *shown =
                window.findChild<QLabel *>(programmed ? "fileSignature" : "fileFacts");
            QVERIFY(shown && !shown->isHidden());
            QVERIFY2(shown->text().contains(said), qPrintable(shown->text()));
            QCOMPARE(shown->styleSheet().contains("#c62828"), !programmed);
        }

        // One board and a station of all boards: a refused file reaches no board at all.
        // A station programs a good file as one board does: once is enough to see it.
        const bool station = !programmed || (how == "current" && folder.isEmpty());
        for (const QString form : {"upgrade", "upgrade --all"}) {
            if (form.endsWith("--all") && !station)
                continue;
            QTemporaryDir each;
            const QString requests = each.filePath("requests.log"),
                          log = each.filePath("line.jsonl");
            const QStringList command =
                QStringList{MV604_SIM, "--state-dir", each.filePath("state"), "--log", requests,
                            "--",      MV604_CLI} +
                options + form.split(' ') +
                QStringList{"fw.upg", "--log", log, "--db", "sqlite:" + each.filePath("line.db")};
            const ProcessRun upgrade = run(command.first(), command.mid(1), folder);
            const QString context = form + ": " + upgrade.err;
            if (!programmed) {
                QCOMPARE(upgrade.exitCode, 1);
                QVERIFY2(upgrade.err.contains(said), qPrintable(context));
                QVERIFY2(readRequestLog(requests).isEmpty(), readFile(requests).constData());
                continue;
            }
            QVERIFY2(upgrade.exitCode == 0, qPrintable(context));
            QCOMPARE(pageWritesOf(requests, 1), 120);
            // The record names the signer, null for an unsigned file; the line database holds the
            // same (read by sqlite3).
            const QString signer = said.isEmpty() ? "NULL|NULL" : ownerKeyId + "|KR960 app 1.4.2";
            const QByteArray line = readFile(log);
            QCOMPARE(line.count('\n'), 1);
            const QJsonObject record = QJsonDocument::fromJson(line).object();
            QCOMPARE(record["result"].toString(), QString("ok"));
            QCOMPARE(record["signing_key_id"].toString("NULL") + '|' +
                         record["trusted_comment"].toString("NULL"),
                     signer);
            const ProcessRun rows =
                run("sqlite3", {each.filePath("line.db"),
                                "SELECT coalesce(signing_key_id, 'NULL') || '|' || "
                                "coalesce(trusted_comment, 'NULL') FROM run_records"});
            QCOMPARE(rows.out.trimmed(), signer);
        }
    }

    // The worker programs the very bytes whose signature was checked: a file replaced on disk
    // after the check (by another valid upgrade file) never reaches the board.
    void programsTheBytesItChecked()
    {
        QVERIFY2(kr960sim::SimulatedBus::preloadActive(), "run under umockdev's preload");
        prepare("current");
        const LoadedUpgradeFile checked = loadUpgradeFile(path("fw.upg"));
        QVERIFY(checkUpgradeFileSignature(checked.bytes, path("fw.upg"), ownerKey).trusted());
        const QByteArray swapped = fixtures::applicationWithChecksum(
            fixtures::firmwareBytes(UpgradeFile::ApplicationSize, 4));
        QVERIFY(writeFile(path("fw.upg"), fixtures::upgradeFileBytes(swapped)));

        kr960sim::SimulatedBus bus;
        const auto device = bus.addDevice();
        USBKR960 usb;
        Upgrader upgrader(&usb);
        upgrader.setTiming(fixtures::simulatedRestart());
        upgrader.setUpgradeFile(path("fw.upg"), checked);
        upgrader.start();
        QVERIFY(upgrader.wait(30000));
        QCOMPARE(upgrader.outcome(), UpgradeOutcome::Ok);
        QVERIFY(flashOf(*device, 0x08004000, UpgradeFile::ApplicationSize) == application);
    }

    // The yield report counts the boards of each signing key apart, unsigned files as null.
    void reportGroupsYieldsByKey()
    {
        QFile::remove(path("report.db"));
        const QString db = "sqlite:" + path("report.db");
        for (const QString how : {"current", "unsigned"}) {
            prepare(how);
            const QStringList key =
                how == "unsigned" ? QStringList() : QStringList{"--trusted-key", "owner.pub"};
            const ProcessRun upgrade =
                run(MV604_SIM, QStringList{"--state-dir", path("state"), "--", MV604_CLI} + key +
                                   QStringList{"upgrade", "fw.upg", "--db", db});
            QVERIFY2(upgrade.exitCode == 0, qPrintable(upgrade.err));
        }
        const ProcessRun report = run(MV604_CLI, {"report", "--json", "--db", db});
        QCOMPARE(report.exitCode, 0);
        QStringList byKey;
        for (const QJsonValue &f :
             QJsonDocument::fromJson(report.out.toUtf8())["signing_keys"].toArray())
            byKey << (f["signing_key_id"].isNull() ? "null" : f["signing_key_id"].toString()) +
                         QString(": %1 runs, %2 boards, %3 passed")
                             .arg(f["runs"].toInt())
                             .arg(f["boards"].toInt())
                             .arg(f["passed"].toInt());
        byKey.sort();
        QCOMPARE(byKey, (QStringList{ownerKeyId + ": 1 runs, 1 boards, 1 passed",
                                     "null: 1 runs, 1 boards, 1 passed"}));
        const QString text = run(MV604_CLI, {"report", "--db", db}).out;
        QVERIFY2(text.contains("Signing keys (upgrade runs) (2)\n") &&
                     text.contains(
                         QRegularExpression("\n  " + ownerKeyId + " +1 +1 +1 +0 +100.0 %\n")) &&
                     text.contains(QRegularExpression("\n  unsigned +1 +1 +1 +0 +100.0 %\n")),
                 qPrintable(text));
    }
};

QTEST_MAIN(TestSigning)
#include "test_signing.moc"
