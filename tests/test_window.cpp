// The window: start-up, the conversation pane, the message boxes, and transfers that end by
// time-out, over pseudo-terminal ports.

#include "app/frmreadwrite.h"
#include "app/misc.h"
#include "app/twips.h"
#include "tests/support/echoline.h"
#include "tests/support/scriptedseam.h"

#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QtTest>

#include <sys/wait.h>
#include <unistd.h>

namespace {
const QString kTitle = QStringLiteral("Replix ICOM Radio");
const QByteArray kIdentifyEcho = QByteArray::fromHex("FEFEEEEFE000000000FD");

void verifyIdle(frmReadWrite &w)
{
    QVERIFY(!w.MSComm1.PortOpen());
    QVERIFY(!w.tmrCableTimer.isActive());
    QVERIFY(!w.tmrResponseTimer.isActive());
    QVERIFY(w.cmdRead->isEnabled());
    QVERIFY(w.cmdWrite->isEnabled());
    QVERIFY(w.chkShowText->isEnabled());
    QCOMPARE(w.ProgressBar1->value(), 0);
}
} // namespace

class WindowTest : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void startUpListsFreePortsAndHidesThePane();
    void startUpWithoutFreePortSaysSoAndOpensWithEmptyList();
    void paneSwitchResizesRecentresAndKeepsTheLog();
    void clearEmptiesOnlyTheLog();
    void controlsCarryTheirCaptionsAndTabOrder();

    void silentRadioEndsReadWithNoResponse();
    void missingCableEndsReadWithNoCableOnly();
    void unusablePortLeavesWindowIdleAndSendsNothing_data();
    void unusablePortLeavesWindowIdleAndSendsNothing();
    void exitDuringTransferClosesPortAtOnce();

    void messageBoxesCarryTheApplicationTitle();
    void cancelInErrorReportEndsTheProgramAtOnce();

private:
    std::unique_ptr<PortFolder> m_ports;
    std::unique_ptr<ScriptedSeam> m_user;
};

void WindowTest::init()
{
    m_ports = std::make_unique<PortFolder>();
    m_ports->makeCurrent();
    m_user = std::make_unique<ScriptedSeam>();
}

void WindowTest::cleanup()
{
    m_user.reset();
    m_ports.reset();
}

void WindowTest::startUpListsFreePortsAndHidesThePane()
{
    EchoLine two(true), three(true);
    m_ports->publish(2, two.device());
    m_ports->publish(3, three.device());
    frmReadWrite w;
    w.Form_Load();

    QVERIFY(m_user->messages().isEmpty());
    QCOMPARE(w.windowTitle(), kTitle);
    QCOMPARE(AppTitle(), kTitle);
    QCOMPARE(w.cboPort->count(), 2);
    QCOMPARE(w.cboPort->itemText(0), QStringLiteral("2"));
    QCOMPARE(w.cboPort->currentText(), QStringLiteral("2"));
    QCOMPARE(w.cboSpeed->count(), 8);
    QCOMPARE(w.cboSpeed->currentText(), QStringLiteral("9600"));
    QVERIFY(!w.chkShowText->isChecked());
    QVERIFY(w.fraTextDisplay->isHidden());
    QVERIFY(!w.MSComm1.PortOpen());

    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    const Twips tw(w.logicalDpiX(), w.logicalDpiY());
    QCOMPARE(w.frameGeometry().height(), tw.y(3570));
    QCOMPARE(w.width(), tw.x(4965));
    QVERIFY(w.fraComms->isVisible());
    QVERIFY(w.cmdExit->isVisible());
    QVERIFY(!w.fraTextDisplay->isVisible());
    QCOMPARE(w.focusWidget(), w.cmdRead);
}

void WindowTest::startUpWithoutFreePortSaysSoAndOpensWithEmptyList()
{
    frmReadWrite w;
    w.Form_Load();
    QCOMPARE(m_user->messages(), QStringList{QStringLiteral("Unable to find an unused serial port")});
    QCOMPARE(m_user->shown().first().title, kTitle);
    QCOMPARE(w.cboPort->count(), 0);
    QCOMPARE(w.cboSpeed->currentText(), QStringLiteral("9600"));
}

void WindowTest::paneSwitchResizesRecentresAndKeepsTheLog()
{
    frmReadWrite w;
    w.Form_Load();
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    const Twips tw(w.logicalDpiX(), w.logicalDpiY());
    const QRect screen = w.screen()->geometry();
    w.txtDataReceived->setPlainText(QStringLiteral("FE FE EE EF E0 00 00 00 00 FD "));

    w.move(5, 5);  // centring happens at every switch, wherever the user left the window
    w.chkShowText->click();
    QVERIFY(w.fraTextDisplay->isVisible());
    QCOMPARE(w.frameGeometry().height(), tw.y(8000));
    QVERIFY(qAbs(w.frameGeometry().center().x() - screen.center().x()) <= 1);
    QVERIFY(qAbs(w.frameGeometry().center().y() - screen.center().y()) <= 1);

    w.chkShowText->click();
    QVERIFY(!w.fraTextDisplay->isVisible());
    QCOMPARE(w.frameGeometry().height(), tw.y(3570));
    QVERIFY(qAbs(w.frameGeometry().center().y() - screen.center().y()) <= 1);
    QCOMPARE(w.txtDataReceived->toPlainText(), QStringLiteral("FE FE EE EF E0 00 00 00 00 FD "));
}

void WindowTest::clearEmptiesOnlyTheLog()
{
    frmReadWrite w;
    w.Form_Load();
    w.chkShowText->click();
    w.txtDataReceived->setPlainText(QStringLiteral("some conversation"));
    w.cmdClearText->click();
    QVERIFY(w.txtDataReceived->toPlainText().isEmpty());
    QVERIFY(w.chkShowText->isChecked());
    QVERIFY(!w.fraTextDisplay->isHidden());
}

void WindowTest::controlsCarryTheirCaptionsAndTabOrder()
{
    frmReadWrite w;
    w.Form_Load();
    QCOMPARE(w.cmdRead->text(), QStringLiteral("Read from Radio"));
    QCOMPARE(w.cmdWrite->text(), QStringLiteral("Write to Radio"));
    QCOMPARE(w.cmdExit->text(), QStringLiteral("Exit"));
    QCOMPARE(w.cmdClearText->text(), QStringLiteral("Clear"));
    QCOMPARE(w.chkShowText->text(), QStringLiteral("Show Conversation "));
    QCOMPARE(w.lblPort->text(), QStringLiteral("Serial port :"));
    QCOMPARE(w.lblBaudRate->text(), QStringLiteral("Baud Rate :"));
    QVERIFY(w.txtDataReceived->isReadOnly());
    for (QPushButton *b : {w.cmdRead, w.cmdWrite, w.cmdExit, w.cmdClearText})
        QVERIFY(!b->isDefault() && !b->autoDefault());
    QCOMPARE(w.ProgressBar1->orientation(), Qt::Vertical);
    QCOMPARE(w.ProgressBar1->maximum(), 100);

    const QList<QWidget *> expected{w.cmdRead, w.cboSpeed, w.cboPort, w.cmdClearText,
                                    w.txtDataReceived, w.chkShowText, w.cmdExit, w.cmdWrite};
    // The Tab key's chain, with the controls that take no focus passed over.
    auto nextTabStop = [](QWidget *from) {
        QWidget *next = from->nextInFocusChain();
        while (!(next->focusPolicy() & Qt::TabFocus))
            next = next->nextInFocusChain();
        return next;
    };
    for (qsizetype i = 1; i < expected.size(); ++i)
        QCOMPARE(nextTabStop(expected[i - 1]), expected[i]);

    int key = 'a';
    frmReadWrite::txtDataReceived_KeyPress(key);
    QCOMPARE(key, 0);
    key = 3;
    frmReadWrite::txtDataReceived_KeyPress(key);
    QCOMPARE(key, 3);
}

void WindowTest::silentRadioEndsReadWithNoResponse()
{
    EchoLine cable(true);
    m_ports->publish(1, cable.device());
    frmReadWrite w;
    w.Form_Load();
    QElapsedTimer clock;
    clock.start();
    w.cmdRead->click();
    QVERIFY(w.MSComm1.PortOpen());
    QVERIFY(!w.cmdRead->isEnabled());
    QTRY_COMPARE_WITH_TIMEOUT(m_user->messages().size(), 1, 3000);
    const qint64 elapsed = clock.elapsed();
    QCOMPARE(m_user->messages().first(), QStringLiteral("No response from radio."));
    QVERIFY2(elapsed >= 1050 && elapsed < 1600, qPrintable(QString::number(elapsed)));
    QCOMPARE(cable.received(), kIdentifyEcho);
    QCOMPARE(w.txtDataReceived->toPlainText(),
             QStringLiteral("FE FE EE EF E0 00 00 00 00 FD \n Radio   : No Response\n"));
    verifyIdle(w);
}

void WindowTest::missingCableEndsReadWithNoCableOnly()
{
    EchoLine nothing(false);
    m_ports->publish(1, nothing.device());
    frmReadWrite w;
    w.Form_Load();
    QElapsedTimer clock;
    clock.start();
    w.cmdRead->click();
    QTRY_COMPARE_WITH_TIMEOUT(m_user->messages().size(), 1, 3000);
    const qint64 elapsed = clock.elapsed();
    QCOMPARE(m_user->messages().first(), QStringLiteral("Unable to locate interface cable."));
    QVERIFY2(elapsed >= 950 && elapsed < 1090, qPrintable(QString::number(elapsed)));
    QCOMPARE(w.txtDataReceived->toPlainText(), QStringLiteral(" Computer: No Cable Detected\n"));
    verifyIdle(w);
    QTest::qWait(300);  // the response time-out was stopped with the transfer
    QCOMPARE(m_user->messages().size(), 1);
}

void WindowTest::unusablePortLeavesWindowIdleAndSendsNothing_data()
{
    QTest::addColumn<bool>("held");
    QTest::newRow("port gone") << false;
    QTest::newRow("port held elsewhere") << true;
}

void WindowTest::unusablePortLeavesWindowIdleAndSendsNothing()
{
    QFETCH(bool, held);
    auto cable = std::make_unique<EchoLine>(true);
    m_ports->publish(4, cable->device());
    frmReadWrite w;
    w.Form_Load();
    QCOMPARE(w.cboPort->currentText(), QStringLiteral("4"));
    w.txtDataReceived->setPlainText(QStringLiteral("earlier conversation"));

    SerialControl other;
    if (held) {
        QVERIFY(!other.setCommPort(4).failed());
        QVERIFY(!other.setPortOpen(true).failed());
    } else {
        cable.reset();  // unplugged: the device itself is gone
    }
    w.cmdWrite->click();
    QCOMPARE(m_user->messages().size(), 1);
    QVERIFY(m_user->messages().first().startsWith(QStringLiteral("Unable to change to port COM4:")));
    QVERIFY(m_user->messages().first().endsWith(held ? QStringLiteral("Port is in use")
                                                     : QStringLiteral("Port does not exist")));
    QTest::qWait(50);
    QVERIFY(!cable || cable->received().isEmpty());
    QCOMPARE(w.txtDataReceived->toPlainText(), QStringLiteral("earlier conversation"));
    verifyIdle(w);
}

void WindowTest::exitDuringTransferClosesPortAtOnce()
{
    EchoLine cable(true);
    m_ports->publish(1, cable.device());
    frmReadWrite w;
    w.Form_Load();
    w.show();
    w.cmdRead->click();
    QVERIFY(w.MSComm1.PortOpen());
    w.cmdExit->click();
    QVERIFY(w.unloaded());
    QVERIFY(!w.MSComm1.PortOpen());
    QVERIFY(!w.tmrCableTimer.isActive() && !w.tmrResponseTimer.isActive());
    QTest::qWait(1300);  // no time-out fires into the unloaded window
    QVERIFY(m_user->messages().isEmpty());
}

void WindowTest::messageBoxesCarryTheApplicationTitle()
{
    ShowMessage(QStringLiteral("first\r\n\r\nthird"));
    ReportError(QStringLiteral("Unable to Open Output File"));
    QCOMPARE(m_user->shown().size(), 2);
    QCOMPARE(m_user->shown()[0].kind, ScriptedSeam::Kind::Message);
    QCOMPARE(m_user->shown()[0].title, kTitle);
    QCOMPARE(m_user->shown()[0].text, QStringLiteral("first\r\n\r\nthird"));
    QCOMPARE(m_user->shown()[1].kind, ScriptedSeam::Kind::Question);
    QCOMPARE(m_user->shown()[1].title, kTitle + QStringLiteral(" Error"));
}

void WindowTest::cancelInErrorReportEndsTheProgramAtOnce()
{
    // In a child process: Cancel must end it before the caller's next statement runs.
    int pipeFds[2];
    QVERIFY(::pipe(pipeFds) == 0);
    const pid_t child = ::fork();
    QVERIFY(child >= 0);
    if (child == 0) {
        ::close(pipeFds[0]);
        m_user->answerQuestions({false});
        ReportError(QStringLiteral("CloseFile(7):Disk full:61"));
        (void)!::write(pipeFds[1], "returned", 8);
        ::_exit(0);
    }
    ::close(pipeFds[1]);
    int status = 0;
    QCOMPARE(::waitpid(child, &status, 0), child);
    char buf[16];
    const ssize_t n = ::read(pipeFds[0], buf, sizeof buf);
    ::close(pipeFds[0]);
    QVERIFY(WIFEXITED(status));
    QCOMPARE(WEXITSTATUS(status), kExitOnReportErrorCancel);
    QCOMPARE(n, ssize_t(0));
}

QTEST_MAIN(WindowTest)
#include "test_window.moc"
