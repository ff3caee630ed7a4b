#include "app/frmreadwrite.h"

#include "app/misc.h"
#include "app/twips.h"
#include "serial/commsmodule.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QGroupBox>
#include <QIcon>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>

namespace {
// Design sizes of the window, in twips.
constexpr int kClientWidth = 4965;
constexpr int kHeightWithPane = 8000;
constexpr int kHeightWithoutPane = 3570;

QPushButton *makeButton(const QString &caption, QWidget *parent)
{
    auto *button = new QPushButton(caption, parent);
    button->setAutoDefault(false);
    button->setDefault(false);
    return button;
}

QComboBox *makeList(QWidget *parent)
{
    auto *list = new QComboBox(parent);
    list->setEditable(false);
    return list;
}
} // namespace

frmReadWrite::frmReadWrite(QWidget *parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint
                          | Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint)
{
    setWindowTitle(AppTitle());
    setWindowIcon(QIcon::fromTheme(QStringLiteral("replix")));  // installed with the package
    buildControls();
    for (QTimer *timer : {&tmrCableTimer, &tmrResponseTimer}) {
        timer->setSingleShot(true);
        timer->setTimerType(Qt::PreciseTimer);
    }
    connect(&tmrCableTimer, &QTimer::timeout, this, &frmReadWrite::tmrCableTimer_Timer);
    connect(&tmrResponseTimer, &QTimer::timeout, this, &frmReadWrite::tmrResponseTimer_Timer);
    connect(&MSComm1, &SerialControl::OnComm, this, &frmReadWrite::MSComm1_OnComm);
    connect(cmdRead, &QPushButton::clicked, this, &frmReadWrite::cmdRead_Click);
    connect(cmdWrite, &QPushButton::clicked, this, &frmReadWrite::cmdWrite_Click);
    connect(cmdExit, &QPushButton::clicked, this, &frmReadWrite::cmdExit_Click);
    connect(cmdClearText, &QPushButton::clicked, this, &frmReadWrite::cmdClearText_Click);
    connect(chkShowText, &QCheckBox::clicked, this, &frmReadWrite::chkShowText_Click);
}

frmReadWrite::~frmReadWrite()
{
    if (!m_unloaded)
        Form_Unload();
}

void frmReadWrite::buildControls()
{
    const Twips tw(logicalDpiX(), logicalDpiY());

    // Created in tab order, so the focus chain follows it.
    fraComms = new QGroupBox(this);
    fraComms->setGeometry(tw.rect(120, 120, 4695, 2535));
    cmdRead = makeButton(QStringLiteral("Read from Radio"), fraComms);
    cmdRead->setGeometry(tw.rect(2760, 1680, 1575, 375));
    cboSpeed = makeList(fraComms);
    cboSpeed->setGeometry(tw.rect(2880, 720, 1575, 315));
    cboPort = makeList(fraComms);
    cboPort->setGeometry(tw.rect(2880, 240, 1575, 315));
    lblPort = new QLabel(QStringLiteral("Serial port :"), fraComms);
    lblPort->setGeometry(tw.rect(1680, 240, 975, 375));
    lblBaudRate = new QLabel(QStringLiteral("Baud Rate :"), fraComms);
    lblBaudRate->setGeometry(tw.rect(1680, 720, 975, 255));

    fraTextDisplay = new QGroupBox(this);
    fraTextDisplay->setGeometry(tw.rect(120, 3120, 4695, 4455));
    cmdClearText = makeButton(QStringLiteral("Clear"), fraTextDisplay);
    cmdClearText->setGeometry(tw.rect(1800, 3960, 1215, 375));
    txtDataReceived = new QPlainTextEdit(fraTextDisplay);
    txtDataReceived->setGeometry(tw.rect(120, 240, 4455, 3615));
    txtDataReceived->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    // Read-only, yet selectable and copyable: typed characters never reach the log, and
    // Ctrl+C still copies from it.
    txtDataReceived->setReadOnly(true);
    txtDataReceived->setTextInteractionFlags(Qt::TextSelectableByMouse
                                             | Qt::TextSelectableByKeyboard);
    txtDataReceived->setUndoRedoEnabled(false);

    chkShowText = new QCheckBox(QStringLiteral("Show Conversation "), fraComms);
    chkShowText->setGeometry(tw.rect(1680, 1200, 2535, 195));
    ProgressBar1 = new QProgressBar(fraComms);
    ProgressBar1->setGeometry(tw.rect(600, 240, 255, 2055));
    ProgressBar1->setOrientation(Qt::Vertical);
    ProgressBar1->setRange(0, 100);
    ProgressBar1->setValue(0);
    ProgressBar1->setTextVisible(false);
    ProgressBar1->setFocusPolicy(Qt::NoFocus);
    cmdExit = makeButton(QStringLiteral("Exit"), this);
    cmdExit->setGeometry(tw.rect(3000, 2760, 1575, 375));
    cmdWrite = makeButton(QStringLiteral("Write to Radio"), fraComms);
    cmdWrite->setGeometry(tw.rect(1080, 1680, 1455, 375));

    // The design's label widths suit a smaller default font than many desktops have; a label
    // grows to the right rather than clip its text.
    for (QLabel *label : {lblPort, lblBaudRate})
        label->resize(qMax(label->width(), label->sizeHint().width()), label->height());

    const QList<QWidget *> tabOrder{cmdRead, cboSpeed, cboPort, cmdClearText,
                                    txtDataReceived, chkShowText, cmdExit, cmdWrite};
    for (qsizetype i = 1; i < tabOrder.size(); ++i)
        setTabOrder(tabOrder[i - 1], tabOrder[i]);
}

void frmReadWrite::Form_Load()
{
    SetAppTitle(QStringLiteral("Replix ICOM Radio"));
    setWindowTitle(AppTitle());
    ICOMFileSystem = std::make_unique<clsICOMFiles>();
    WritingToRadio = false;
    tmrCableTimer.stop();
    tmrResponseTimer.stop();
    ClosePort(MSComm1);
    InitCommsControl(MSComm1);
    FillSpeedList(cboSpeed);
    FillPortList(cboPort);
    chkShowText->setChecked(false);
    chkShowText_Click();
    cmdRead->setFocus();
}

void frmReadWrite::Form_Unload()
{
    // Nothing may fire into a window that is gone.
    tmrCableTimer.stop();
    tmrResponseTimer.stop();
    ClosePort(MSComm1);
    ICOMFileSystem.reset();
    m_unloaded = true;
}

void frmReadWrite::closeEvent(QCloseEvent *event)
{
    if (!m_unloaded)
        Form_Unload();
    event->accept();
}

void frmReadWrite::cmdExit_Click() { close(); }

void frmReadWrite::cmdClearText_Click() { txtDataReceived->clear(); }

void frmReadWrite::setOuterHeightTwips(int twips)
{
    const Twips tw(logicalDpiX(), logicalDpiY());
    // The outer height includes the title bar and border, known once the window is shown.
    const int decoration = isVisible() ? frameGeometry().height() - height() : 0;
    setFixedSize(tw.x(kClientWidth), tw.y(twips) - decoration);
}

void frmReadWrite::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    // A later show (restored from the task bar, shown again) leaves the window where the user
    // put it; only a switch of the pane centres it again.
    if (m_placed)
        return;
    m_placed = true;
    // The title bar and border are known only once the window is on screen: size and centre
    // again then, and once more when the window system has settled them.
    fitToPane();
    QTimer::singleShot(0, this, &frmReadWrite::fitToPane);
}

void frmReadWrite::chkShowText_Click() { fitToPane(); }

void frmReadWrite::fitToPane()
{
    if (chkShowText->isChecked()) {
        setOuterHeightTwips(kHeightWithPane);
        fraTextDisplay->setVisible(true);
    } else {
        setOuterHeightTwips(kHeightWithoutPane);
        fraTextDisplay->setVisible(false);
    }
    const QScreen *display = screen();
    if (!display)
        return;
    const QRect screenArea = display->geometry();
    const QSize decoration = isVisible() ? frameGeometry().size() - size() : QSize();
    const QSize outer = size() + decoration;
    move(screenArea.x() + (screenArea.width() - outer.width()) / 2,
         screenArea.y() + (screenArea.height() - outer.height()) / 2);
}
