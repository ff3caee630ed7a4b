// The window: start-up, the conversation pane, the message boxes, and transfers that end by
// time-out or at a failed commit, over pseudo-terminal ports.

#include "app/misc.h"
#include "app/twips.h"
#include "tests/support/echoline.h"
#include "tests/support/hexbytes.h"
#include "tests/support/transferfixture.h"

#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QtTest>

#include <sys/wait.h>
#include <unistd.h>

namespace {
const QString kTitle = QStringLiteral("Replix ICOM Radio");

// True when the window's outer frame sits in the middle of its screen.
bool centred(const frmReadWrite &w)
{
    const QPoint offset = w.frameGeometry().center() - w.screen()->geometry().center();
    return qAbs(offset.x()) <= 1 && qAbs(offset.y()) <= 1;
}
} // namespace

class WindowTest : public TransferFixture {
    Q_OBJECT
private slots:
    void init() { setUpFixture(); }
    void cleanup() { tearDownFixture(); }

    // With no free port the message comes at load, before the window is shown.
    void startUpShowsTheControlsWithThePaneHidden_data()
    {
        QTest::addColumn<bool>("freePorts");
        QTest::newRow("ports 2 and 3 free") << true;
        QTest::newRow("no free port") << false;
    }
    void startUpShowsTheControlsWithThePaneHidden()
    {
        QFETCH(bool, freePorts);
        EchoLine two(true), three(true);
        if (freePorts)
            QVERIFY(m_ports->publish(3, three.device()) && m_ports->publish(2, two.device()));
        frmReadWrite w;
        w.Form_Load();
        QCOMPARE(m_user->messages(), freePorts ? QStringList{}
                                               : QStringList{"Unable to find an unused serial port"});
        QCOMPARE(m_user->shown().isEmpty() ? kTitle : m_user->shown().first().title, kTitle);
        QVERIFY(w.windowTitle() == kTitle && AppTitle() == kTitle);
        QCOMPARE(w.cboPort->count(), freePorts ? 2 : 0);
        QCOMPARE(w.cboPort->currentText(), freePorts ? QStringLiteral("2") : QString());
        QCOMPARE(w.cboSpeed->currentText(), QStringLiteral("9600"));
        QVERIFY(!w.chkShowText->isChecked() && !w.MSComm1.PortOpen());
        QCOMPARE(QStringList({w.cmdRead->text(), w.cmdWrite->text(), w.cmdExit->text(),
                              w.cmdClearText->text(), w.chkShowText->text(), w.lblPort->text(),
                              w.lblBaudRate->text()}),
                 QStringList({"Read from Radio", "Write to Radio", "Exit", "Clear",
                              "Show Conversation ", "Serial port :", "Baud Rate :"}));
        for (QPushButton *b : {w.cmdRead, w.cmdWrite, w.cmdExit, w.cmdClearText})
            QVERIFY(!b->isDefault() && !b->autoDefault());
        // The Tab key's chain, with the controls that take no focus passed over.
        const QList<QWidget *> tabOrder{w.cmdRead, w.cboSpeed, w.cboPort, w.cmdClearText,
                                        w.txtDataReceived, w.chkShowText, w.cmdExit, w.cmdWrite};
        for (qsizetype i = 1; i < tabOrder.size(); ++i) {
            QWidget *next = tabOrder[i - 1]->nextInFocusChain();
            while (!(next->focusPolicy() & Qt::TabFocus))
                next = next->nextInFocusChain();
            QCOMPARE(next, tabOrder[i]);
        }

        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        const Twips tw(w.logicalDpiX(), w.logicalDpiY());
        QCOMPARE(QSize(w.width(), w.frameGeometry().height()), QSize(tw.x(4965), tw.y(3570)));
        QTRY_VERIFY(centred(w));
        QVERIFY(w.fraComms->isVisible() && w.cmdExit->isVisible() && !w.fraTextDisplay->isVisible());
        QCOMPARE(w.focusWidget(), w.cmdRead);
    }

    // Only a switch of the pane centres the window again; a later show (after a hide, or when
    // restored from the task bar) leaves it where the user put it.
    void onlyThePaneSwitchResizesAndRecentres()
    {
        frmReadWrite w;
        w.Form_Load();
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        const Twips tw(w.logicalDpiX(), w.logicalDpiY());
        const QString log = QStringLiteral("FE FE EE EF E0 00 00 00 00 FD ");
        w.txtDataReceived->setPlainText(log);
        w.move(5, 5);
        w.hide();
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QTest::qWait(50);
        QCOMPARE(w.pos(), QPoint(5, 5));

        w.chkShowText->click();
        QVERIFY(w.fraTextDisplay->isVisible());
        QCOMPARE(w.frameGeometry().height(), tw.y(8000));
        QVERIFY(centred(w));
        // Typed characters never reach the log; its text can still be selected and copied.
        QTest::keyClicks(w.txtDataReceived, QStringLiteral("x"));
        QTest::keySequence(w.txtDataReceived, QKeySequence::SelectAll);
        QTest::keySequence(w.txtDataReceived, QKeySequence::Copy);
        QCOMPARE(QGuiApplication::clipboard()->text(), log);
        w.move(5, 5);
        w.chkShowText->click();
        QVERIFY(!w.fraTextDisplay->isVisible());
        QCOMPARE(w.frameGeometry().height(), tw.y(3570));
        QVERIFY(centred(w));
        QCOMPARE(w.txtDataReceived->toPlainText(), log);  // neither the keys nor the switch changed it
        w.cmdClearText->click();  // empties the log and nothing else
        QVERIFY(w.txtDataReceived->toPlainText().isEmpty());
        QVERIFY(!w.chkShowText->isChecked() && !w.fraTextDisplay->isVisible());
    }

    void silentLineEndsTheReadAtItsTimeOut_data()
    {
        QTest::addColumn<bool>("cable");
        QTest::addColumn<int>("timeOutMs");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("log");
        QTest::newRow("radio silent") << true << 1100 << QStringLiteral("No response from radio.")
                                      << QStringLiteral("FE FE EE EF E0 00 00 00 00 FD \n Radio   : No Response\n");
        QTest::newRow("no cable") << false << 1000 << QStringLiteral("Unable to locate interface cable.")
                                  << QStringLiteral(" Computer: No Cable Detected\n");
    }
    void silentLineEndsTheReadAtItsTimeOut()
    {
        QFETCH(bool, cable);
        QFETCH(int, timeOutMs);
        EchoLine line(cable);
        m_ports->publish(1, line.device());
        loadWindowOnly();
        frmReadWrite &w = *m_window;
        w.txtDataReceived->setPlainText(QStringLiteral("an earlier conversation"));  // a start empties it
        QElapsedTimer clock;
        clock.start();
        w.cmdRead->click();
        QVERIFY(w.MSComm1.PortOpen() && !w.cmdRead->isEnabled());
        // The time-outs as their timers hold them, which no load can disturb: both armed by
        // the model request, each for its own time; the echo stops the cable's alone.
        QVERIFY(w.tmrCableTimer.isActive() && w.tmrResponseTimer.isActive());
        QCOMPARE(w.tmrCableTimer.interval(), 1000);
        QCOMPARE(w.tmrResponseTimer.interval(), 1100);
        if (cable)
            QTRY_VERIFY(!w.tmrCableTimer.isActive() && w.tmrResponseTimer.isActive());
        QTRY_COMPARE_WITH_TIMEOUT(m_user->messages().size(), 1, 10000);
        // Never before the time-out (a bound no load can break); how late is the timers' business.
        const qint64 elapsed = clock.elapsed();
        QVERIFY2(elapsed >= timeOutMs - 5, qPrintable(QString::number(elapsed)));
        QTEST(m_user->messages().first(), "message");
        QTEST(w.txtDataReceived->toPlainText(), "log");
        waitIdle();  // the other time-out was stopped with the transfer
    }

    // Line and error events of the serial control leave their note in the log, and nothing
    // else; a send event leaves none, a code the control never names its number.
    void lineEventsAreNotedInTheLog()
    {
        loadWindowOnly();
        frmReadWrite &w = *m_window;
        for (const int code : {1, 3, 6, 1004, 1005, 1011, -5})
            w.MSComm1.raiseCommEvent(code);
        QTRY_COMPARE(w.txtDataReceived->toPlainText(),
                     QStringLiteral("Change in CTS DetectedPhone Ring DetectedFraming Error"
                                    "Unknown Error or Event 1005Error Retrieving DCBUnknown Error or Event -5"));
        QVERIFY(m_user->shown().isEmpty() && w.cmdRead->isEnabled());
    }

    // The port named in the list has gone: the transfer stops before it starts.
    void unusablePortLeavesWindowIdleAndSendsNothing()
    {
        auto cable = std::make_unique<EchoLine>(true);
        m_ports->publish(4, cable->device());
        loadWindowOnly();
        frmReadWrite &w = *m_window;
        QCOMPARE(w.cboPort->currentText(), QStringLiteral("4"));
        w.txtDataReceived->setPlainText(QStringLiteral("earlier conversation"));
        cable.reset();  // unplugged: the device itself is gone
        w.cmdWrite->click();
        QCOMPARE(m_user->messages().size(), 1);  // what it says is the serial port's business
        QCOMPARE(w.txtDataReceived->toPlainText(), QStringLiteral("earlier conversation"));
        waitIdle();
    }

    void failedCommitShowsOneMessageAfterTheReadEnded()
    {
        EchoLine cable(true);
        m_ports->publish(1, cable.device());
        const QString target = path("radio.icf");
        loadWindowOnly();
        frmReadWrite &w = *m_window;
        w.cmdRead->click();
        m_user->answerSave(target);
        w.ProcessCommand(bytes("FE FE EF EE E1 2A 5F 01 01 FD"));  // the radio's model reply
        QVERIFY(w.ICOMFileSystem->outputOpen());
        w.ProcessCommand(bytes("FE FE EE EF E2 2A 5F 01 01 FD"));  // its request back, a record
        w.ProcessCommand(bytes("FE FE EF EE E4") + "0120040A1B2C3D4D" + bytes("FD"));
        QVERIFY(QDir().mkdir(target));  // a folder takes the name: the image cannot be put in place
        bool busyAtMessage = true;
        m_user->whileNextShown([&] {
            busyAtMessage = w.MSComm1.PortOpen() || w.tmrCableTimer.isActive() || w.tmrResponseTimer.isActive();
        });
        w.ProcessCommand(bytes("FE FE EF EE E5 FD"));  // end of data: the commit comes with the echo
        QTRY_VERIFY_WITH_TIMEOUT(!m_user->messages().isEmpty(), 5000);
        QCOMPARE(m_user->messages(), QStringList{"Unable to write to output file"});
        QCOMPARE(m_user->shown().size(), 2);  // the save dialog and that message
        QVERIFY(!busyAtMessage);
        QVERIFY(filesIn(m_dir->path()).isEmpty());  // no temporary file beside that folder
        waitIdle();
    }

    void exitDuringTransferClosesPortAtOnce()
    {
        EchoLine cable(true);
        m_ports->publish(1, cable.device());
        loadWindowOnly();
        frmReadWrite &w = *m_window;
        w.show();
        w.cmdRead->click();
        QVERIFY(w.MSComm1.PortOpen());
        w.cmdExit->click();
        QVERIFY(!w.ICOMFileSystem && !w.MSComm1.PortOpen());  // the image-file object released
        QVERIFY(!w.tmrCableTimer.isActive() && !w.tmrResponseTimer.isActive());
        QTest::qWait(1300);  // no time-out fires into the unloaded window
        QVERIFY(m_user->messages().isEmpty());
    }

    // Cancel (Escape in Qt's real box) ends the program before the caller's next statement (in
    // a child process, which OK would let reach _exit(0)); that OK returns shows in test_image.
    void cancelInTheErrorReportEndsTheProgramAtOnce()
    {
        const pid_t child = ::fork();
        QVERIFY(child >= 0);
        if (child == 0) {
            setUserSeam(nullptr);
            QTimer::singleShot(0, [] { QTest::keyClick(QApplication::activeModalWidget(), Qt::Key_Escape); });
            ReportError(QStringLiteral("Unable to Open Output File"));
            ::_exit(0);
        }
        int status = 0;
        QCOMPARE(::waitpid(child, &status, 0), child);
        QVERIFY(WIFEXITED(status));
        QCOMPARE(WEXITSTATUS(status), kExitOnReportErrorCancel);
    }
};

QTEST_MAIN(WindowTest)
#include "test_window.moc"
