// The window: start-up, the conversation pane, the message boxes, and transfers that end by
// time-out or at a failed commit, over pseudo-terminal ports.

#include "app/misc.h"
#include "image/clsicomfiles.h"
#include "image/fileaccess.h"
#include "tests/support/echoline.h"
#include "tests/support/hexbytes.h"
#include "tests/support/transferfixture.h"

#include <QAbstractItemView>
#include <QAccessible>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QtTest>

#include <sys/wait.h>
#include <unistd.h>

namespace {
const QString kTitle = QStringLiteral("Replix ICOM Radio");

// True when the window's outer frame sits in the middle of the screen's free area.
bool centred(const frmReadWrite &w)
{
    const QPoint offset = w.frameGeometry().center() - w.screen()->availableGeometry().center();
    return qAbs(offset.x()) <= 1 && qAbs(offset.y()) <= 1;
}

QString announced(QObject *control, QAccessible::Text what = QAccessible::Name)
{
    return QAccessible::queryAccessibleInterface(control)->text(what);
}

// What a screen reader takes for the list's value: its text, and the entry selected in it.
QString heardChoice(QComboBox *list)
{
    QAccessibleInterface *iface = QAccessible::queryAccessibleInterface(list);
    QAccessibleInterface *items = iface->child(0);
    QStringList selected;
    for (int i = 0; i < items->childCount(); ++i)
        if (items->child(i)->state().selected)
            selected << items->child(i)->text(QAccessible::Name);
    return iface->textInterface()->text(0, iface->textInterface()->characterCount()) + u'/'
           + selected.join(u',');
}

// What a user of the window finds wrong with a caption, judged from the font and the
// control's size alone: cut across or down, controls on top of each other, or out of sight.
QStringList fitProblems(const frmReadWrite &w)
{
    QStringList problems;
    for (QWidget *c : w.findChildren<QWidget *>()) {
        if (!c->isVisibleTo(&w)
            || !(c->parentWidget() == &w || qobject_cast<QGroupBox *>(c->parentWidget())))
            continue;
        if (c->parentWidget() != &w && !c->parentWidget()->rect().contains(c->geometry()))
            problems << announced(c) + " sticks out of its frame";
        for (QWidget *other :
             c->parentWidget()->findChildren<QWidget *>(Qt::FindDirectChildrenOnly))
            if (const QRect both = c->geometry() & other->geometry();
                other != c && other->isVisibleTo(&w) && both.width() > 4 && both.height() > 4)
                problems << announced(c) + " overlaps " + announced(other);
        const QFontMetrics fm(c->font());
        const QStyle *style = c->style();
        QStringList texts;
        int chrome = 0;  // what the control draws beside its text
        if (auto *check = qobject_cast<QCheckBox *>(c))
            texts << check->text(), chrome = style->pixelMetric(QStyle::PM_IndicatorWidth)
                                             + style->pixelMetric(QStyle::PM_CheckBoxLabelSpacing);
        else if (auto *button = qobject_cast<QPushButton *>(c))
            texts << button->text(), chrome = 2 * style->pixelMetric(QStyle::PM_DefaultFrameWidth);
        else if (auto *label = qobject_cast<QLabel *>(c))
            texts << label->text();
        else if (auto *list = qobject_cast<QComboBox *>(c))
            for (int i = 0; i < list->count(); ++i)
                texts << list->itemText(i), chrome = c->height();  // the arrow is about square
        for (const QString &text : texts)
            if (fm.horizontalAdvance(text) + chrome > c->width()
                || fm.tightBoundingRect(text).height() > c->height())
                problems << QStringLiteral("\"%1\" cut in %2x%3")
                                .arg(text)
                                .arg(c->width())
                                .arg(c->height());
    }
    if (!w.screen()->availableGeometry().contains(w.frameGeometry().topLeft()))
        problems << QStringLiteral("title bar off the screen");
    return problems;
}

}  // namespace

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
        QCOMPARE(m_user->messages(),
                 freePorts ? QStringList{} : QStringList{"Unable to find an unused serial port"});
        QCOMPARE(m_user->shown().isEmpty() ? kTitle : m_user->shown().first().title, kTitle);
        QVERIFY(w.windowTitle() == kTitle && AppTitle() == kTitle);
        QCOMPARE(w.cboPort->count(), freePorts ? 2 : 0);
        QVERIFY(w.cboPort->currentText() == (freePorts ? "2" : "")
                && w.cboSpeed->currentText() == "9600");
        QVERIFY(!w.chkShowText->isChecked() && !w.MSComm1.PortOpen());
        // The port list tells the device behind the chosen number, and behind each number.
        QCOMPARE(announced(w.cboPort, QAccessible::Description),
                 freePorts ? two.device() : QString());
        QAccessibleInterface *items = QAccessible::queryAccessibleInterface(w.cboPort)->child(0);
        for (int i = 0; i < w.cboPort->count(); ++i)
            QCOMPARE(items->child(i)->text(QAccessible::Description),
                     i ? three.device() : two.device());
        w.cboPort->setCurrentIndex(w.cboPort->count() - 1);
        QCOMPARE(announced(w.cboPort, QAccessible::Description),
                 freePorts ? three.device() : QString());
        // Each list says its choice as its text and its selected entry, the name staying.
        QTest::keyClick(w.cboSpeed, Qt::Key_Down);
        w.cboPort->setCurrentIndex(0);
        QCOMPARE(heardChoice(w.cboSpeed), QStringLiteral("14400/14400"));
        QCOMPARE(heardChoice(w.cboPort), freePorts ? QStringLiteral("2/2") : QStringLiteral("/"));
        QCOMPARE(announced(w.cboSpeed), QStringLiteral("Baud rate"));
        // That text is the choice, read-only: no caret, no selection, one run of attributes;
        // the entries are the list's one child, and opening it is among its actions.
        QAccessibleInterface *speed = QAccessible::queryAccessibleInterface(w.cboSpeed);
        QAccessibleTextInterface *text = speed->textInterface();
        int from = -1, to = -1, runFrom = -1, runTo = -1;
        text->selection(0, &from, &to);
        text->attributes(2, &runFrom, &runTo);
        QCOMPARE(
            QStringList({speed->text(QAccessible::Value), text->text(1, 3),
                         QString::number(text->selectionCount()),
                         QString::number(text->cursorPosition()),
                         QStringLiteral("%1-%2 %3-%4").arg(from).arg(to).arg(runFrom).arg(runTo)}),
            QStringList({"14400", "44", "0", "0", "0-0 0-5"}));
        QCOMPARE(speed->indexOfChild(speed->child(0)) * 10
                     + speed->indexOfChild(QAccessible::queryAccessibleInterface(&w)),
                 -1);
        QVERIFY(speed->actionInterface()->actionNames().contains(
            QAccessibleActionInterface::showMenuAction()));

        // What a screen reader says as Tab walks the window, the pane shown: each control by
        // its name, the buttons by their captions; none of them is the window's default.
        w.chkShowText->click();
        // The window is a frame; each button controls it once.
        QCOMPARE(QAccessible::queryAccessibleInterface(&w)->role(), QAccessible::Window);
        QStringList heard;
        QWidget *focus = w.cmdRead;
        do {
            if ((focus->focusPolicy() & Qt::TabFocus) && focus->isVisibleTo(&w))
                heard << announced(focus);
            QList<QObject *> controlled;
            for (const auto &[other, kind] :
                 QAccessible::queryAccessibleInterface(focus)->relations(QAccessible::Controlled))
                controlled << other->object();
            QVERIFY2(QSet<QObject *>(controlled.begin(), controlled.end()).size()
                         == controlled.size(),
                     qPrintable(announced(focus)));
            focus = focus->nextInFocusChain();
        } while (focus != w.cmdRead);
        QCOMPARE(heard,
                 QStringList({"Read from Radio", "Baud rate", "Serial port", "Clear",
                              "Conversation", "Show Conversation", "Exit", "Write to Radio"}));
        // The lists are labelled, the labels speaking their names without the colons; the
        // frames and the bar are told by what they hold (the upper frame unnamed, so that it
        // is not named again at each return into it).
        for (QLabel *label : {w.lblPort, w.lblBaudRate}) {
            const auto labelled =
                QAccessible::queryAccessibleInterface(label)->relations(QAccessible::Labelled);
            QCOMPARE(labelled.size(), 1);
            QCOMPARE(announced(label) + u'/' + labelled.first().first->text(QAccessible::Name),
                     label == w.lblPort ? "Serial port/Serial port" : "Baud rate/Baud rate");
        }
        QCOMPARE(
            QStringList({announced(w.fraComms), announced(w.fraComms, QAccessible::Description),
                         announced(w.fraTextDisplay), announced(w.ProgressBar1)}),
            QStringList({"", "Port and transfer", "Conversation pane", "Transfer progress"}));
        QCOMPARE(w.chkShowText->text(), QStringLiteral("Show Conversation "));  // as drawn
        w.chkShowText->click();

        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        // 4965 twips across and 3570 down at the screen's DPI: 3.448 and 2.479 inches.
        QVERIFY(qAbs(w.width() - 3.448 * w.logicalDpiX()) < 1
                && qAbs(w.frameGeometry().height() - 2.479 * w.logicalDpiY()) < 1);
        QTRY_VERIFY(centred(w));
        QVERIFY(w.fraComms->isVisible() && w.cmdExit->isVisible()
                && !w.fraTextDisplay->isVisible());
        QCOMPARE(w.focusWidget(), w.cmdRead);
        QTest::keyClick(w.cmdRead, Qt::Key_Tab);  // Tab walks on from an enabled button
        QCOMPARE(QApplication::focusWidget(), w.cboSpeed);
        QTest::keyClick(w.cboSpeed, Qt::Key_Backtab);
        QCOMPARE(QApplication::focusWidget(), w.cmdRead);
        // A screen reader opens a list by its menu action, or by pressing it.
        for (const QString &action : {QAccessibleActionInterface::showMenuAction(),
                                      QAccessibleActionInterface::pressAction()}) {
            QAccessible::queryAccessibleInterface(w.cboSpeed)->actionInterface()->doAction(action);
            QTRY_VERIFY2(w.cboSpeed->view()->isVisible(), qPrintable(action));
            w.cboSpeed->hidePopup();
        }
    }

    // Only a switch of the pane centres the window again; a later show (after a hide, or when
    // restored from the task bar) leaves it where the user put it.
    void onlyThePaneSwitchResizesAndRecentres()
    {
        frmReadWrite w;
        w.Form_Load();
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        const int hiddenHeight = w.frameGeometry().height();
        const QString log = QStringLiteral("FE FE EE EF E0 00 00 00 00 FD ");
        w.txtDataReceived->setPlainText(log);
        w.move(5, 5);
        w.hide();
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QTest::qWait(50);
        QCOMPARE(w.pos(), QPoint(5, 5));

        w.chkShowText->click();
        // 8000 twips against 3570 without the pane.
        QVERIFY(w.fraTextDisplay->isVisible()
                && qAbs(w.frameGeometry().height() - hiddenHeight * 8000.0 / 3570) < 1.5);
        QVERIFY(centred(w));
        // The box has its scroll bar, and follows the newest line as frames come in.
        QVERIFY(w.txtDataReceived->verticalScrollBar()->isVisible());
        for (int i = 0; i < 40; ++i)
            w.ProcessCommand(bytes("FE FE EF EE E1 2A 5F 01 01 FD"));
        const QScrollBar *bar = w.txtDataReceived->verticalScrollBar();
        QVERIFY(bar->maximum() > 0 && bar->value() == bar->maximum());
        w.txtDataReceived->setPlainText(log);
        // Typed characters never reach the log; its text can still be selected and copied.
        QTest::keyClicks(w.txtDataReceived, QStringLiteral("x"));
        QTest::keySequence(w.txtDataReceived, QKeySequence::SelectAll);
        QTest::keySequence(w.txtDataReceived, QKeySequence::Copy);
        QCOMPARE(QGuiApplication::clipboard()->text(), log);
        QVERIFY(QAccessible::queryAccessibleInterface(w.txtDataReceived)->state().readOnly);
        // Enter and Escape press no button: the window has no default or cancel button.
        std::vector<std::unique_ptr<QSignalSpy>> pressed;
        for (QPushButton *b : {w.cmdRead, w.cmdWrite, w.cmdExit, w.cmdClearText})
            pressed.push_back(std::make_unique<QSignalSpy>(b, &QPushButton::clicked));
        for (Qt::Key key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Escape})
            QTest::keyClick(w.txtDataReceived, key), QTest::keyClick(w.cboSpeed, key);
        for (const auto &spy : pressed)
            QCOMPARE(spy->count(), 0);
        w.move(5, 5);
        w.chkShowText->click();
        QVERIFY(!w.fraTextDisplay->isVisible());
        QCOMPARE(w.frameGeometry().height(), hiddenHeight);
        QVERIFY(centred(w));
        QCOMPARE(w.txtDataReceived->toPlainText(),
                 log);  // neither the keys nor the switch changed it
        // A focused button is pressed by Enter as by Space: Clear empties the log and nothing else.
        QTest::keyClick(w.cmdClearText, Qt::Key_Enter);
        QVERIFY(w.txtDataReceived->toPlainText().isEmpty());
        QVERIFY(!w.chkShowText->isChecked() && !w.fraTextDisplay->isVisible());
    }

    // Every caption fits whole at the fonts desktops use; where they all fit on the design's
    // grid it is kept, else the whole grid grows by one factor. (Run under QT_SCALE_FACTOR
    // 1.5 and 2 by hand: the factor is fixed when the program starts.)
    void captionsFitAtDesktopFonts_data()
    {
        QTest::addColumn<QString>("family");
        QTest::addColumn<int>("points");
        for (const char *family : {"DejaVu Sans", "Cantarell", "Noto Sans"})
            for (int points : {8, 11, 12, 16, 20})
                QTest::addRow("%s %d", family, points) << QString::fromLatin1(family) << points;
    }
    void captionsFitAtDesktopFonts()
    {
        QFETCH(QString, family);
        QFETCH(int, points);
        QVERIFY2(QFontDatabase::families().contains(family),
                 qPrintable(family + " is not installed"));
        EchoLine port(true);
        QVERIFY(m_ports->publish(16, port.device()));
        const QFont before = QApplication::font();
        auto restore = qScopeGuard([&] { QApplication::setFont(before); });
        QApplication::setFont(QFont(family, 6));  // small enough for the design's own grid
        frmReadWrite design;
        design.Form_Load();
        QApplication::setFont(QFont(family, points));
        frmReadWrite w;
        w.Form_Load();
        for (bool pane : {false, true}) {
            w.chkShowText->setChecked(pane);
            w.chkShowText_Click();
            w.show();
            QVERIFY(QTest::qWaitForWindowExposed(&w));
            const QStringList problems = fitProblems(w);
            QVERIFY2(problems.isEmpty(), qPrintable(problems.join(u'\n')));
        }
        // The grid grows as a whole: the window and every control keep their proportions.
        const qreal grown = qreal(w.width()) / design.width();
        QVERIFY(grown >= 1.0
                && qAbs(w.fraComms->height() - design.fraComms->height() * grown) <= 1 + grown / 2);
        for (auto [mine, theirs] : {std::pair<QWidget *, QWidget *>{w.cmdWrite, design.cmdWrite},
                                    {w.lblBaudRate, design.lblBaudRate},
                                    {w.chkShowText, design.chkShowText},
                                    {w.txtDataReceived, design.txtDataReceived}})
            for (qreal edge : {mine->x() - theirs->x() * grown, mine->y() - theirs->y() * grown,
                               mine->width() - theirs->width() * grown})
                QVERIFY2(qAbs(edge) <= 1 + grown / 2, qPrintable(announced(mine)));
    }

    // Every control where the design puts it, in twips from its frame's corner: to a pixel at
    // any DPI, and exactly where a twip is a pixel (ctest window-1440dpi).
    void theDesignStandsWhereItWasDrawn()
    {
        const QFont before = QApplication::font();
        auto restore = qScopeGuard([&] { QApplication::setFont(before); });
        QApplication::setFont(QFont(QStringLiteral("DejaVu Sans"), 6));  // every caption fits
        frmReadWrite w;
        w.Form_Load();
        QFile drawn(QFINDTESTDATA("window-design.txt"));
        QVERIFY(drawn.open(QIODevice::ReadOnly | QIODevice::Text));
        const QList<QWidget *> controls{
            w.fraComms,     w.cmdRead,        w.cboSpeed,     w.cboPort,         w.lblPort,
            w.lblBaudRate,  w.fraTextDisplay, w.cmdClearText, w.txtDataReceived, w.chkShowText,
            w.ProgressBar1, w.cmdExit,        w.cmdWrite};
        const qreal perTwip = w.logicalDpiX() / 1440.0;
        for (QWidget *control : controls) {
            const QList<QByteArray> twips = drawn.readLine().simplified().split(' ');
            QCOMPARE(twips.size(), 5);
            const QRect at = control->geometry();
            const int pixels[] = {at.x(), at.y(), at.width(), at.height()};
            for (int i = 0; i < 4; ++i)
                QVERIFY2(qAbs(pixels[i] - twips[i + 1].toInt() * perTwip) < 1,
                         twips[0] + " at " + QByteArray::number(pixels[i]) + " pixels");
        }
    }

    // A transfer takes the focus off the lists, says which record passes and how it ended, and
    // gives the focus back to its button, after a box too.
    void aTransferKeepsTheFocusSafeAndTellsHowItEnded()
    {
        auto gone = std::make_unique<EchoLine>(true);
        QVERIFY(m_ports->publish(4, gone->device()));
        connect(radioWith(128), true);
        frmReadWrite &w = *m_window;
        // The port named in the list has gone: the transfer stops before it starts, the log
        // and the focus stay as they were, and what the message says is the port's business.
        w.cboPort->setCurrentText(QStringLiteral("4"));
        w.txtDataReceived->setPlainText(QStringLiteral("earlier conversation"));
        gone.reset();
        w.cmdWrite->setFocus();
        w.cmdWrite->click();
        QVERIFY(m_user->messages().size() == 1
                && w.txtDataReceived->toPlainText() == "earlier conversation");
        QVERIFY(w.focusWidget() == w.cmdWrite && !w.MSComm1.PortOpen());
        m_user->clear();
        w.cboPort->setCurrentText(QStringLiteral("1"));
        // A speed the port refuses stops the transfer the same way: one message, port closed.
        w.cboSpeed->addItem(QStringLiteral("12345"));
        w.cboSpeed->setCurrentText(QStringLiteral("12345"));
        w.cmdRead->click();
        QVERIFY(m_user->messages().size() == 1 && !w.MSComm1.PortOpen());
        QVERIFY(w.cboSpeed->isEnabled() && w.cboPort->isEnabled());  // to choose again
        m_user->clear();
        w.cboSpeed->setCurrentText(QStringLiteral("9600"));
        w.show();
        w.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        // What the bar tells at each of its steps, as drawn and to assistive technology: its
        // text, and its value out of its maximum (equal ones give no percentage).
        QStringList told;
        QAccessibleInterface *bar = QAccessible::queryAccessibleInterface(w.ProgressBar1);
        // Besides its value it keeps the action interface every control offers a reader.
        QVERIFY(bar->actionInterface());
        QCOMPARE(w.ProgressBar1->orientation(), Qt::Vertical);  // it fills its tall frame upward
        const auto tell = [&] {
            return QStringLiteral("%1 at %2: %3 %4/%5")
                .arg(told.size())
                .arg(w.ProgressBar1->value())
                .arg(bar->text(QAccessible::Value))
                .arg(bar->valueInterface()->currentValue().toInt())
                .arg(bar->valueInterface()->maximumValue().toInt());
        };
        QObject::connect(w.ProgressBar1, &QProgressBar::valueChanged, [&] { told << tell(); });
        m_user->answerSave(path("backup.icf"));
        m_user->whileNextShown([&] { told << tell(); });  // no file chosen yet
        QTest::keyClick(w.cmdRead, Qt::Key_Return);
        QCOMPARE(QApplication::focusWidget(), w.ProgressBar1);
        QVERIFY(!w.cboSpeed->isEnabled() && !w.cboPort->isEnabled());
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Down);
        QCOMPARE(w.cboSpeed->currentText(), QStringLiteral("9600"));
        waitIdle();
        QVERIFY(w.cboSpeed->isEnabled() && w.cboPort->isEnabled());
        QCOMPARE(told.size(), 130);
        QCOMPARE(QStringList({told[0], told[1], told[128], told[129]}),
                 QStringList({"0 at 0:  0/0", "1 at 1: record 1 0/0", "128 at 28: record 128 0/0",
                              "129 at 0:  0/0"}));
        QCOMPARE(QApplication::focusWidget(), w.cmdRead);
        QTRY_COMPARE(announced(w.cmdRead, QAccessible::Description),
                     QStringLiteral("Read finished: 128 records saved to backup.icf"));
        // A write knows its whole: the records sent of the file's, the first before any step.
        told.clear();
        transfer(true, path("backup.icf"));
        QCOMPARE(told.size(), 128);
        QCOMPARE(QStringList({told[0], told[126], told[127]}),
                 QStringList({"0 at 1: record 2 of 128 2/128",
                              "126 at 27: record 128 of 128 128/128", "127 at 0:  0/0"}));
        QCOMPARE(QApplication::focusWidget(), w.cmdWrite);
        QTRY_COMPARE(announced(w.cmdWrite, QAccessible::Description),
                     QStringLiteral("Write ended: Successful Write"));
        // The next read counts its own records; while it runs its button tells nothing of the
        // last one, and the pane cannot be switched.
        m_user->answerSave(path("again.icf"));
        w.cmdRead->click();
        QCOMPARE(announced(w.cmdRead, QAccessible::Description), QString());
        QVERIFY(!w.chkShowText->isEnabled());
        waitIdle();
        QTRY_COMPARE(announced(w.cmdRead, QAccessible::Description),
                     QStringLiteral("Read finished: 128 records saved to again.icf"));
        // Exit while a write's records go out asks first: No lets the write go on to its end,
        // Yes stops it and the window with it.
        const QString question = QStringLiteral(
            "A write is running: the radio will hold part of the new image. Stop it?");
        bool openAfter = true;
        QMetaObject::Connection once;
        const auto exitWhileRecordsGoOut = [&](frmReadWrite *window) {
            once = QObject::connect(
                &window->m_conversation, &Conversation::frameHandled, window, [&, window] {
                    if (window->phase() != frmReadWrite::Phase::RecordsFlowing)
                        return;
                    QObject::disconnect(once);
                    QTimer::singleShot(
                        0, window, [&, window] {  // as the user presses it, between frames
                            window->cmdExit->click();
                            openAfter = window->MSComm1.PortOpen() && window->ICOMFileSystem;
                        });
                });
        };
        for (bool stop : {false, true}) {
            m_user->clear();
            m_user->answerOpen(path("backup.icf"));
            m_user->answerQuestions({stop});
            exitWhileRecordsGoOut(&w);
            w.cmdWrite->click();
            QTRY_VERIFY(!m_user->messages().isEmpty());
            QCOMPARE(m_user->messages().first(), question);
            QCOMPARE(openAfter, !stop);
            if (!stop) {
                waitIdle();
                QCOMPARE(m_user->messages().last(), QStringLiteral("Successful Write"));
            }
        }
        QVERIFY(!w.ICOMFileSystem && m_user->messages().size() == 1);
        // Exit during a read closes the port and releases the image-file object at once.
        connect(radioWith(128), true);
        frmReadWrite &again = *m_window;
        m_user->clear();
        m_user->answerSave(path("backup.icf"));
        exitWhileRecordsGoOut(&again);
        again.cmdRead->click();
        QTRY_VERIFY(!again.ICOMFileSystem);
        QVERIFY(!openAfter && !again.MSComm1.PortOpen() && !again.tmrCableTimer.isActive()
                && !again.tmrResponseTimer.isActive());
        QTest::qWait(1300);  // no time-out fires into the unloaded window
        QVERIFY(m_user->messages().isEmpty());
    }

    void silentLineEndsTheReadAtItsTimeOut_data()
    {
        QTest::addColumn<bool>("cable");
        QTest::addColumn<int>("timeOutMs");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("log");
        QTest::newRow("radio silent")
            << true << 1100 << QStringLiteral("No response from radio.")
            << QStringLiteral("FE FE EE EF E0 00 00 00 00 FD \n Radio   : No Response\n");
        QTest::newRow("no cable") << false << 1000
                                  << QStringLiteral("Unable to locate interface cable.")
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
        w.txtDataReceived->setPlainText(
            QStringLiteral("an earlier conversation"));  // a start empties it
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
        QTRY_COMPARE(announced(w.cmdRead, QAccessible::Description),
                     "Read ended: " + m_user->messages().first());
        QCOMPARE(w.focusWidget(), w.cmdRead);  // given the focus back when the box closes
        waitIdle();                            // the other time-out was stopped with the transfer
    }

    // Line and error events of the serial control leave their note in the log, and nothing
    // else; a send event leaves none, a code the control never names its number.
    void lineEventsAreNotedInTheLog()
    {
        loadWindowOnly();
        frmReadWrite &w = *m_window;
        for (const int code : {1, 3, 4, 5, 6, 7, 1001, 1002, 1003, 1004, 1005, 1006, 1007, 1008,
                               1009, 1010, 1011, -5})
            w.MSComm1.raiseCommEvent(code);
        QTRY_COMPARE(
            w.txtDataReceived->toPlainText(),
            QStringLiteral("Change in CTS DetectedChange in DSR DetectedChange in CD Detected"
                           "Phone Ring DetectedEnd of File DetectedBreak ReceivedCTS Timeout"
                           "DSR TimeoutFraming ErrorUnknown Error or Event 1005Overrun Error"
                           "Carrier Detect TimeoutReceive Buffer OverflowParity Error"
                           "Transmit Buffer FullError Retrieving DCBUnknown Error or Event -5"));
        QVERIFY(m_user->shown().isEmpty() && w.cmdRead->isEnabled());
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
        bool timedInDialog = true;  // no time-out runs while the user picks the file
        m_user->whileNextShown(
            [&] { timedInDialog = w.tmrCableTimer.isActive() || w.tmrResponseTimer.isActive(); });
        w.ProcessCommand(bytes("FE FE EF EE E1 2A 5F 01 01 FD"));  // the radio's model reply
        QVERIFY(w.ICOMFileSystem->outputOpen() && !timedInDialog);
        w.ProcessCommand(bytes("FE FE EE EF E2 2A 5F 01 01 FD"));  // its request back, a record
        w.ProcessCommand(bytes("FE FE EF EE E4") + "0120040A1B2C3D4D" + bytes("FD"));
        QVERIFY(QDir().mkdir(target));  // a folder takes the name: the image cannot be put in place
        bool busyAtMessage = true;
        m_user->whileNextShown([&] {
            busyAtMessage =
                w.MSComm1.PortOpen() || w.tmrCableTimer.isActive() || w.tmrResponseTimer.isActive();
        });
        w.ProcessCommand(
            bytes("FE FE EF EE E5 FD"));  // end of data: the commit comes with the echo
        QTRY_VERIFY_WITH_TIMEOUT(!m_user->messages().isEmpty(), 5000);
        QCOMPARE(m_user->messages(), QStringList{"Unable to write to output file"});
        QCOMPARE(m_user->shown().size(), 2);  // the save dialog and that message
        QVERIFY(!busyAtMessage);
        QVERIFY(filesIn(m_dir->path()).isEmpty());  // no temporary file beside that folder
        waitIdle();
    }

    // Qt's own dialogs as a user meets them: each step acts on the next modal window of the
    // kind it expects; any other window is noted and closed, so a fault cannot hang the test.
    // Qt's boxes as the user meets them: the application's title, the text as written (never
    // read as markup), a warning sign on an error and on the question of stopping a write, and
    // the safe answer as the default that Enter gives.
    void theRealBoxesAsAUserMeetsThem()
    {
        m_user.reset();
        setUserSeam(&qtUserSeam());
        QStringList seen;
        const auto enterAtNextBox = [&seen] {
            QTimer::singleShot(0, [&seen] {
                auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
                QVERIFY(box);
                seen << QStringLiteral("%1|%2|%3|%4|%5")
                            .arg(box->windowTitle(), box->text(),
                                 box->iconPixmap().isNull() ? "-" : "sign",
                                 box->textFormat() == Qt::PlainText ? "plain" : "markup")
                            .arg(int(box->standardButton(box->defaultButton())), 0, 16);
                QTest::keyClick(box, Qt::Key_Return);
            });
        };
        enterAtNextBox();
        ShowMessage(QStringLiteral("<b>COM3</b> & /dev/ttyUSB0"));
        enterAtNextBox();
        ReportError(QStringLiteral("Unable to Open Output File"));  // OK: the program goes on
        enterAtNextBox();
        clsICOMFiles files;
        QVERIFY(files.ValidModel("5A170002", "5A170003"));
        enterAtNextBox();
        QVERIFY(!currentSeam().askYesNo(AppTitle(), QStringLiteral("Stop it?")));
        QCOMPARE(seen,
                 QStringList({"Replix ICOM Radio|<b>COM3</b> & /dev/ttyUSB0|-|plain|400",
                              "Replix ICOM Radio Error|Unable to Open Output File|sign|plain|400",
                              "Replix ICOM Radio|Disk File is for a different version of this "
                              "radio|-|plain|400",
                              "Replix ICOM Radio|Stop it?|sign|plain|10000"}));
    }

    void theRealFileDialogsAsAUserMeetsThem()
    {
        m_user.reset();
        setUserSeam(&qtUserSeam());  // Qt's seam from here on, as the window installs it
        const QDir folder(m_dir->path());
        QVERIFY(folder.mkdir(QStringLiteral("sub")));
        QVERIFY(QFile(folder.filePath(QStringLiteral("old.icf"))).open(QIODevice::WriteOnly));
        QStringList seen;
        const auto type = [](QWidget *dialog, const QString &name) {
            // Typing into the focused name box drops the list's selection; offscreen has no focus.
            dialog->findChild<QAbstractItemView *>(QStringLiteral("listView"))->clearSelection();
            dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"))->setText(name);
            auto *buttons = dialog->findChild<QDialogButtonBox *>(QStringLiteral("buttonBox"));
            buttons->button(QDialogButtonBox::Save)->click();
        };
        QList<std::pair<bool, std::function<void(QWidget *)>>> steps{
            // {a box?, what to do}
            {false, [&](QWidget *d) { type(d, QStringLiteral("old.icf")); }},
            {true, [](QWidget *box) { QTest::keyClick(box, Qt::Key_Return); }},
            {false,
             [&](QWidget *d) {
                 type(d, folder.filePath(QStringLiteral("sub")));
                 seen << "now in " + static_cast<QFileDialog *>(d)->directory().dirName();
                 static_cast<QDialog *>(d)->reject();
             }},
            {false, [](QWidget *d) { static_cast<QDialog *>(d)->reject(); }}};
        QPointer<QWidget> last;
        QTimer driver;
        QObject::connect(&driver, &QTimer::timeout, [&] {
            QWidget *w = QApplication::activeModalWidget();
            if (w == last)
                return;
            last = w;
            if (!w)
                return;
            const bool box = qobject_cast<QMessageBox *>(w);
            seen << (box ? "box: " + static_cast<QMessageBox *>(w)->text().section('\n', 0, 0)
                         : "dialog offers '"
                               + w->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"))->text()
                               + "'");
            std::function<void(QWidget *)> step = [](QWidget *x) {
                static_cast<QDialog *>(x)->reject();
            };
            if (!steps.isEmpty() && steps.first().first == box)
                step = steps.takeFirst().second;
            QTimer::singleShot(0, w, [step, w] { step(w); });
        });
        driver.start(20);
        QString path = folder.filePath(QStringLiteral("backup.icf"));
        CommonDialog dialog;
        QVERIFY(!ShowSaveDialog(path, QString::fromLatin1(kIcfFilter), dialog));
        last = nullptr;  // the same dialog comes up again
        QVERIFY(!ShowOpenDialog(path, QString::fromLatin1(kIcfFilter), dialog));
        QCOMPARE(seen, QStringList({"dialog offers 'backup.icf'", "box: old.icf already exists.",
                                    "dialog offers 'old.icf'", "now in sub", "dialog offers ''"}));
    }

    // Cancel (Escape in Qt's real box) ends the program before the caller's next statement (in
    // a child process, which OK would let reach _exit(0)); that OK returns shows in test_image.
    // In a transfer the conversation hands the cancel to the window, which ends the program.
    // The error report's box, once OK is pressed, is what the read's button says it ended with.
    void anErrorReportIsHowTheReadEnded()
    {
        startByHand(false, true);
        m_user->answerSave(m_dir->path());  // a folder: no file can be made there
        m_user->answerQuestions({true});
        m_window->ProcessCommand(bytes("FE FE EF EE E1 5A 17 00 02 FD"));
        waitIdle();
        QTRY_COMPARE(announced(m_window->cmdRead, QAccessible::Description),
                     QStringLiteral("Read ended: Unable to Open Output File"));
    }
    void cancelInTheErrorReportEndsTheProgramAtOnce_data()
    {
        QTest::addColumn<bool>("inTransfer");
        QTest::newRow("the box alone") << false;
        QTest::newRow("a read's file cannot be made") << true;
    }
    void cancelInTheErrorReportEndsTheProgramAtOnce()
    {
        QFETCH(bool, inTransfer);
        const pid_t child = ::fork();
        QVERIFY(child >= 0);
        if (child == 0) {
            if (inTransfer) {
                startByHand(false, true);
                m_user->answerSave(m_dir->path());  // a folder: no file can be made there
                m_user->answerQuestions({false});
                m_window->ProcessCommand(bytes("FE FE EF EE E1 5A 17 00 02 FD"));
                ::_exit(m_user->messages() == QStringList{"Unable to Open Output File"} ? 0 : 1);
            }
            setUserSeam(&qtUserSeam());
            QTimer::singleShot(
                0, [] { QTest::keyClick(QApplication::activeModalWidget(), Qt::Key_Escape); });
            ReportError(QStringLiteral("Unable to Open Output File"));
            ::_exit(0);
        }
        int status = 0;
        QCOMPARE(::waitpid(child, &status, 0), child);
        QVERIFY(WIFEXITED(status));
        QCOMPARE(WEXITSTATUS(status), 3);  // the status the manual gives
    }
};

QTEST_MAIN(WindowTest)
#include "test_window.moc"
