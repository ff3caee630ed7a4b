#include "app/frmreadwrite.h"

#include "app/misc.h"
#include "app/twips.h"
#include "app/userseam.h"
#include "link/commstxt.h"
#include "serial/commsmodule.h"

#include <QAbstractItemView>
#include <QAccessibleWidget>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFileInfo>
#include <QGroupBox>
#include <QIcon>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QStyleOptionButton>
#include <QStyleOptionComboBox>
#include <QTextDocument>

#include <algorithm>
#include <cstdlib>

namespace {
// Design sizes of the window, in twips.
constexpr int kClientWidth = 4965;
constexpr int kHeightWithPane = 8000;
constexpr int kHeightWithoutPane = 3570;
// The grid grows by whole steps of this much past a rounding that still cuts a caption.
constexpr qreal kGrowthStep = 1.005;

// Enter presses a focused button as Space does; no button is the window's default.
class WindowButton final : public QPushButton {
public:
    WindowButton(const QString &caption, QWidget *parent) : QPushButton(caption, parent)
    {
        setAutoDefault(false);
        setDefault(false);
    }

protected:
    void keyPressEvent(QKeyEvent *event) override
    {
        if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
            click();
            return;
        }
        QPushButton::keyPressEvent(event);
    }
};

// A list as assistive technology meets it: named by what it is for, its choice as its value
// and as a read-only text (what a screen reader speaks for a list on this platform), and the
// entry's own description (the device behind a port number) as its description. Qt's own
// interface gives the choice as the name, which the name given here replaces.
class NamedList final : public QAccessibleWidget, public QAccessibleTextInterface {
public:
    explicit NamedList(QComboBox *list) : QAccessibleWidget(list, QAccessible::ComboBox) {}
    QComboBox *list() const { return static_cast<QComboBox *>(widget()); }
    QString text(QAccessible::Text t) const override
    {
        if (t == QAccessible::Value)
            return list()->currentText();
        if (t == QAccessible::Description && list()->accessibleDescription().isEmpty())
            return list()->currentData(Qt::AccessibleDescriptionRole).toString();
        return QAccessibleWidget::text(t);
    }
    void *interface_cast(QAccessible::InterfaceType type) override
    {
        if (type == QAccessible::TextInterface)
            return static_cast<QAccessibleTextInterface *>(this);
        return QAccessibleWidget::interface_cast(type);
    }
    int childCount() const override { return 1; }
    QAccessibleInterface *child(int index) const override
    {
        return index == 0
                   ? QAccessible::queryAccessibleInterface(static_cast<QObject *>(list()->view()))
                   : nullptr;
    }
    int indexOfChild(const QAccessibleInterface *child) const override
    {
        return child && child->object() == static_cast<QObject *>(list()->view()) ? 0 : -1;
    }
    QStringList actionNames() const override
    {
        return QStringList{showMenuAction()} + QAccessibleWidget::actionNames();
    }
    void doAction(const QString &action) override
    {
        if (action == showMenuAction() || action == pressAction())
            list()->showPopup();
        else
            QAccessibleWidget::doAction(action);
    }

    // The text: the choice, read-only, with no caret or selection of its own.
    QString text(int startOffset, int endOffset) const override
    {
        return list()->currentText().mid(startOffset, endOffset - startOffset);
    }
    int characterCount() const override { return int(list()->currentText().size()); }
    void selection(int, int *startOffset, int *endOffset) const override
    {
        *startOffset = *endOffset = 0;
    }
    int selectionCount() const override { return 0; }
    void addSelection(int, int) override {}
    void removeSelection(int) override {}
    void setSelection(int, int, int) override {}
    int cursorPosition() const override { return 0; }
    void setCursorPosition(int) override {}
    QRect characterRect(int) const override { return {}; }
    int offsetAtPoint(const QPoint &) const override { return -1; }
    void scrollToSubstring(int, int) override {}
    QString attributes(int, int *startOffset, int *endOffset) const override
    {
        *startOffset = 0;
        *endOffset = characterCount();
        return {};
    }
};

// The progress bar as assistive technology meets it. The bar draws records modulo 100; what
// it reports is true: in a write the share of the file's records sent, as a value out of the
// file's records; in a read, whose end is unknown, the record that passes as text and no
// value to make a percentage of. Before a file is chosen it reports nothing to count.
class TransferBar final : public QAccessibleWidget, public QAccessibleValueInterface {
public:
    TransferBar(QProgressBar *bar, const frmReadWrite *window)
        : QAccessibleWidget(bar, QAccessible::ProgressBar), m_window(window)
    {}
    QString text(QAccessible::Text t) const override
    {
        if (t == QAccessible::Value || t == QAccessible::Description)
            return m_window->progressText();
        return QAccessibleWidget::text(t);
    }
    void *interface_cast(QAccessible::InterfaceType type) override
    {
        if (type == QAccessible::ValueInterface)
            return static_cast<QAccessibleValueInterface *>(this);
        return QAccessibleWidget::interface_cast(type);
    }
    QVariant currentValue() const override { return m_window->progressOfRecords().first; }
    void setCurrentValue(const QVariant &) override {}
    QVariant maximumValue() const override { return m_window->progressOfRecords().second; }
    QVariant minimumValue() const override { return 0; }
    QVariant minimumStepSize() const override { return 1; }

private:
    const frmReadWrite *m_window;
};

QAccessibleInterface *windowFactory(const QString &, QObject *object)
{
    // The window is a frame, not the filler a plain top-level widget is taken for.
    if (auto *window = qobject_cast<frmReadWrite *>(object))
        return new QAccessibleWidget(window, QAccessible::Window);
    if (auto *list = qobject_cast<QComboBox *>(object);
        list && qobject_cast<frmReadWrite *>(list->window()))
        return new NamedList(list);
    if (auto *bar = qobject_cast<QProgressBar *>(object))
        if (auto *window = qobject_cast<frmReadWrite *>(bar->window()))
            return new TransferBar(bar, window);
    return nullptr;
}

QComboBox *makeList(QWidget *parent, const QString &accessibleName)
{
    auto *list = new QComboBox(parent);
    list->setEditable(false);
    list->setAccessibleName(accessibleName);
    return list;
}

// The texts a control draws, and the rectangle its style gives them.
QStringList captionsOf(const QWidget *control)
{
    if (const auto *button = qobject_cast<const QAbstractButton *>(control))
        return {button->text()};
    if (const auto *label = qobject_cast<const QLabel *>(control))
        return {label->text()};
    QStringList items;
    if (const auto *list = qobject_cast<const QComboBox *>(control)) {
        for (int i = 0; i < list->count(); ++i)
            items << list->itemText(i);
    }
    return items;
}

QRect captionRoom(const QWidget *control)
{
    const QStyle *style = control->style();
    if (const auto *button = qobject_cast<const QAbstractButton *>(control)) {
        QStyleOptionButton option;
        option.initFrom(button);
        option.text = button->text();
        return style->subElementRect(qobject_cast<const QCheckBox *>(control)
                                         ? QStyle::SE_CheckBoxContents
                                         : QStyle::SE_PushButtonContents,
                                     &option, button);
    }
    if (const auto *list = qobject_cast<const QComboBox *>(control)) {
        QStyleOptionComboBox option;
        option.initFrom(list);
        option.editable = false;
        option.frame = true;
        return style->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField,
                                     list);
    }
    return control->contentsRect();
}

// The room a line of text needs to be drawn whole: its advance across, and down, the height
// at which its ink, centred as the controls centre a line, is not cut at the top or bottom.
QSize roomNeeded(const QFontMetrics &metrics, const QString &text)
{
    const QRect ink = metrics.tightBoundingRect(text);
    const int line = metrics.height();
    const int aboveInk = metrics.ascent() + ink.top();
    const int throughInk = metrics.ascent() + ink.bottom() + 1;
    return {metrics.horizontalAdvance(text), qMax(line - 2 * aboveInk, 2 * throughInk - line)};
}
}  // namespace

frmReadWrite::frmReadWrite(QWidget *parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint
                          | Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint)
{
    setWindowTitle(AppTitle());
    setWindowIcon(QIcon::fromTheme(QStringLiteral("replix")));  // installed with the package
    static const bool accessible = (QAccessible::installFactory(windowFactory), true);
    Q_UNUSED(accessible);
    // Qt's own boxes and dialogs speak for the program unless a seam is installed.
    setDefaultUserSeam(&qtUserSeam());
    buildControls();
    connect(&m_conversation, &Conversation::started, this, &frmReadWrite::transferBegun);
    connect(&m_conversation, &Conversation::logText, this,
            [this](const QString &text) { DisplayText(txtDataReceived, text); });
    connect(&m_conversation, &Conversation::progress, this, &frmReadWrite::drawProgress);
    connect(&m_conversation, &Conversation::finished, this, &frmReadWrite::transferOver);
    // Cancel in an error report ends the program at once, as the box offers.
    connect(&m_conversation, &Conversation::errorReportCancelled, this,
            [] { std::_Exit(kExitOnReportErrorCancel); });
    // One connection a button: each is announced as the controller of the window once.
    connect(cmdRead, &QPushButton::clicked, this, [this] {
        cmdRead_Click();
        transferStarted();
    });
    connect(cmdWrite, &QPushButton::clicked, this, [this] {
        cmdWrite_Click();
        transferStarted();
    });
    connect(cmdExit, &QPushButton::clicked, this, &frmReadWrite::cmdExit_Click);
    connect(cmdClearText, &QPushButton::clicked, this, &frmReadWrite::cmdClearText_Click);
    connect(chkShowText, &QCheckBox::clicked, this, &frmReadWrite::chkShowText_Click);
    connect(this, &frmReadWrite::transferEnded, this, &frmReadWrite::announceEnd);
    for (QComboBox *list : {cboSpeed, cboPort})
        announceChoices(list);
    // Steps of the bar while a transfer runs (the reset to 0 comes at its end).
    connect(ProgressBar1, &QProgressBar::valueChanged, this, [this] {
        if (m_conversation.running())
            ++m_recordsCounted;
    });
}

frmReadWrite::~frmReadWrite()
{
    if (!m_unloaded)
        Form_Unload();
}

void frmReadWrite::buildControls()
{
    // Created in tab order, so the focus chain follows it.
    fraComms = new QGroupBox(this);
    cmdRead = new WindowButton(QStringLiteral("Read from Radio"), fraComms);
    cboSpeed = makeList(fraComms, QStringLiteral("Baud rate"));
    cboPort = makeList(fraComms, QStringLiteral("Serial port"));
    lblPort = new QLabel(QStringLiteral("Serial port :"), fraComms);
    lblBaudRate = new QLabel(QStringLiteral("Baud Rate :"), fraComms);
    fraTextDisplay = new QGroupBox(this);
    cmdClearText = new WindowButton(QStringLiteral("Clear"), fraTextDisplay);
    txtDataReceived = new QPlainTextEdit(fraTextDisplay);
    chkShowText = new QCheckBox(QStringLiteral("Show Conversation "), fraComms);
    ProgressBar1 = new QProgressBar(fraComms);
    cmdExit = new WindowButton(QStringLiteral("Exit"), this);
    cmdWrite = new WindowButton(QStringLiteral("Write to Radio"), fraComms);
    m_design = {{fraComms, {120, 120, 4695, 2535}},        {cmdRead, {2760, 1680, 1575, 375}},
                {cboSpeed, {2880, 720, 1575, 315}},        {cboPort, {2880, 240, 1575, 315}},
                {lblPort, {1680, 240, 975, 375}},          {lblBaudRate, {1680, 720, 975, 255}},
                {fraTextDisplay, {120, 3120, 4695, 4455}}, {cmdClearText, {1800, 3960, 1215, 375}},
                {txtDataReceived, {120, 240, 4455, 3615}}, {chkShowText, {1680, 1200, 2535, 195}},
                {ProgressBar1, {600, 240, 255, 2055}},     {cmdExit, {3000, 2760, 1575, 375}},
                {cmdWrite, {1080, 1680, 1455, 375}}};

    txtDataReceived->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    // Read-only, yet selectable and copyable: typed characters never reach the log, and
    // Ctrl+C still copies from it.
    txtDataReceived->setReadOnly(true);
    txtDataReceived->setTextInteractionFlags(Qt::TextSelectableByMouse
                                             | Qt::TextSelectableByKeyboard);
    txtDataReceived->setUndoRedoEnabled(false);
    ProgressBar1->setOrientation(Qt::Vertical);
    ProgressBar1->setRange(0, 100);
    ProgressBar1->setValue(0);
    ProgressBar1->setTextVisible(false);
    ProgressBar1->setFocusPolicy(Qt::NoFocus);

    // What assistive technology announces; nothing drawn changes.
    // The upper frame goes unnamed: a screen reader would name it again each time the focus
    // comes back into it from "Exit". The labels speak the lists' names, without the colons.
    fraComms->setAccessibleDescription(QStringLiteral("Port and transfer"));
    fraTextDisplay->setAccessibleName(QStringLiteral("Conversation pane"));
    lblPort->setBuddy(cboPort);
    lblBaudRate->setBuddy(cboSpeed);
    lblPort->setAccessibleName(cboPort->accessibleName());
    lblBaudRate->setAccessibleName(cboSpeed->accessibleName());
    txtDataReceived->setAccessibleName(QStringLiteral("Conversation"));
    chkShowText->setAccessibleName(chkShowText->text().trimmed());
    ProgressBar1->setAccessibleName(QStringLiteral("Transfer progress"));

    const QList<QWidget *> tabOrder{cmdRead,         cboSpeed,    cboPort, cmdClearText,
                                    txtDataReceived, chkShowText, cmdExit, cmdWrite};
    for (qsizetype i = 1; i < tabOrder.size(); ++i)
        setTabOrder(tabOrder[i - 1], tabOrder[i]);
    placeControls();
}

void frmReadWrite::placeControls()
{
    // The design's grid at the screen's DPI where every caption fits there; otherwise the
    // whole grid grows, proportions and spacing with it, just enough for the widest caption.
    m_gridScale = 1.0;
    for (int round = 0; round < 20; ++round) {
        const Twips tw(logicalDpiX(), logicalDpiY(), m_gridScale);
        for (const auto &[control, twips] : std::as_const(m_design))
            control->setGeometry(tw.rect(twips));
        const qreal growth = captionGrowth();
        if (growth <= 1.0)
            break;
        m_gridScale *= round == 0 ? growth : qMax(growth, kGrowthStep);
    }
}

qreal frmReadWrite::captionGrowth() const
{
    // Style margins stay the same as a control grows; only the room for the text grows.
    const Twips tw(logicalDpiX(), logicalDpiY(), m_gridScale);
    bool allFit = true;
    qreal growth = 1.0;
    for (const auto &[control, twips] : m_design) {
        const QRect room = captionRoom(control);
        const QSize margins = control->size() - room.size();
        for (const QString &caption : captionsOf(control)) {
            const QSize needed = roomNeeded(control->fontMetrics(), caption);
            allFit = allFit && needed.width() <= room.width() && needed.height() <= room.height();
            growth =
                std::max({growth, (needed.width() + margins.width()) / tw.exactX(twips.width()),
                          (needed.height() + margins.height()) / tw.exactY(twips.height())});
        }
    }
    return allFit ? 1.0 : growth;
}

void frmReadWrite::Form_Load()
{
    SetAppTitle(QStringLiteral("Replix ICOM Radio"));
    setWindowTitle(AppTitle());
    ICOMFileSystem = std::make_unique<clsICOMFiles>();
    m_conversation.setFileSystem(ICOMFileSystem.get());
    WritingToRadio = false;
    tmrCableTimer.stop();
    tmrResponseTimer.stop();
    ClosePort(MSComm1);
    InitCommsControl(MSComm1);
    FillSpeedList(cboSpeed);
    FillPortList(cboPort);
    describePorts();
    placeControls();  // the lists' entries are captions too
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
    m_conversation.setFileSystem(nullptr);
    ICOMFileSystem.reset();
    m_unloaded = true;
}

void frmReadWrite::closeEvent(QCloseEvent *event)
{
    // Stopping a write once records go out leaves the radio half-written: ask first, No the
    // default. The write goes on behind the question. A read is stopped at once: the file of
    // that name is only replaced when the read has ended well.
    const bool writing =
        WritingToRadio && phase() != Phase::Idle && phase() != Phase::AwaitingModel;
    if (!m_unloaded && (m_asking || (writing && !askToStopWrite()))) {
        event->ignore();
        return;
    }
    if (!m_unloaded)
        Form_Unload();
    event->accept();
}

bool frmReadWrite::askToStopWrite()
{
    m_asking = true;
    const bool stop = userSeam().askYesNo(
        AppTitle(),
        QStringLiteral("A write is running: the radio will hold part of the new image. Stop it?"));
    m_asking = false;
    return stop;
}

void frmReadWrite::cmdExit_Click()
{
    close();
}

void frmReadWrite::cmdRead_Click()
{
    WritingToRadio = false;
    StartTransfer();
}

void frmReadWrite::cmdWrite_Click()
{
    WritingToRadio = true;
    StartTransfer();
}

void frmReadWrite::StartTransfer()
{
    m_conversation.StartTransfer(WritingToRadio, cboPort->currentText(), cboSpeed->currentText());
}

void frmReadWrite::transferBegun()
{
    cmdRead->setEnabled(false);
    cmdWrite->setEnabled(false);
    chkShowText->setEnabled(false);
    if (!txtDataReceived->document()->isEmpty())
        txtDataReceived->clear();
}

void frmReadWrite::drawProgress(int records, int)
{
    if (records == 0) {
        ProgressBar1->setMaximum(100);
        ProgressBar1->setValue(0);
        ProgressBar1->setEnabled(true);
        return;
    }
    // The bar counts records modulo 100 and never reaches its maximum; a write's first record
    // is not counted.
    const int counted = WritingToRadio ? records - 1 : records;
    ProgressBar1->setValue(counted % 100);
}

void frmReadWrite::transferOver(const TransferOutcome &outcome)
{
    m_lastEnd = outcome.kind;
    ProgressBar1->setValue(0);
    cmdRead->setEnabled(true);
    cmdWrite->setEnabled(true);
    chkShowText->setEnabled(true);
    emit transferEnded();
}

void frmReadWrite::cmdClearText_Click()
{
    txtDataReceived->clear();
}

void frmReadWrite::setOuterHeightTwips(int twips)
{
    const Twips tw(logicalDpiX(), logicalDpiY(), m_gridScale);
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

void frmReadWrite::chkShowText_Click()
{
    fitToPane();
}

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
    // Centred on the area the desktop leaves free (panels excluded) and kept inside it: a
    // window taller than that area keeps its title bar on screen.
    const QRect screenArea = display->availableGeometry();
    const QSize decoration = isVisible() ? frameGeometry().size() - size() : QSize();
    const QSize outer = size() + decoration;
    const int left = screenArea.x() + (screenArea.width() - outer.width()) / 2;
    const int top = screenArea.y() + (screenArea.height() - outer.height()) / 2;
    move(qMax(screenArea.left(), qMin(left, screenArea.right() + 1 - outer.width())),
         qMax(screenArea.top(), qMin(top, screenArea.bottom() + 1 - outer.height())));
}

void frmReadWrite::describePorts()
{
    // The device each number stands for, for the keyboard and screen-reader user as for the
    // pointer's tooltip; the list describes itself by its chosen entry's.
    for (int i = 0; i < cboPort->count(); ++i)
        cboPort->setItemData(i, cboPort->itemData(i, Qt::ToolTipRole),
                             Qt::AccessibleDescriptionRole);
}

void frmReadWrite::announceChoices(QComboBox *list)
{
    // A choice is the list's text: its change is told as a change of that text, and the entry
    // chosen is the one selected in the list's items, open or not.
    connect(list, &QComboBox::currentIndexChanged, list,
            [list, shown = list->currentText()](int index) mutable {
                if (QItemSelectionModel *items = list->view()->selectionModel())
                    items->setCurrentIndex(list->model()->index(index, list->modelColumn()),
                                           QItemSelectionModel::ClearAndSelect);
                QAccessibleTextUpdateEvent changed(list, 0, shown, list->currentText());
                QAccessible::updateAccessibility(&changed);
                shown = list->currentText();
            });
}

std::pair<int, int> frmReadWrite::progressOfRecords() const
{
    // Only a write knows its end: the records sent of the file's. The first record goes out
    // before the bar's first step, and each step sends one more.
    if (!WritingToRadio || !ICOMFileSystem || phase() == Phase::Idle
        || phase() == Phase::AwaitingModel)
        return {0, 0};
    const int total = ICOMFileSystem->checkedRecords();
    return {phase() == Phase::RequestSent ? 0 : qMin(m_recordsCounted + 1, total), total};
}

QString frmReadWrite::progressText() const
{
    if (phase() == Phase::Idle || phase() == Phase::AwaitingModel)
        return {};
    if (const auto [sent, total] = progressOfRecords(); total > 0)
        return QStringLiteral("record %1 of %2").arg(sent).arg(total);
    return m_recordsCounted > 0 ? QStringLiteral("record %1").arg(m_recordsCounted) : QString();
}

bool frmReadWrite::focusNextPrevChild(bool next)
{
    // The transfer button being disabled at a start hands the focus on: to the progress bar,
    // whose keys change nothing, rather than to a list whose arrow keys would.
    QWidget *focused = focusWidget();
    if ((focused == cmdRead || focused == cmdWrite) && !focused->isEnabled()) {
        ProgressBar1->setFocus(Qt::OtherFocusReason);
        return true;
    }
    return QWidget::focusNextPrevChild(next);
}

void frmReadWrite::transferStarted()
{
    if (!m_conversation.running())
        return;  // the port could not be opened; its message has been shown
    m_messagesBeforeStart = m_conversation.messagesShown();
    m_recordsCounted = 0;
    (WritingToRadio ? cmdWrite : cmdRead)->setAccessibleDescription(QString());
    // A key on a list changes nothing while frames flow.
    cboSpeed->setEnabled(false);
    cboPort->setEnabled(false);
}

void frmReadWrite::announceEnd()
{
    // A read that succeeds ends without a box: the button that started it takes the focus
    // back and says how it ended, which a screen reader speaks with the button. A box that
    // follows (it is shown once this handler has returned) is spoken by the screen reader
    // itself; the button then repeats its text.
    QPushButton *starter = WritingToRadio ? cmdWrite : cmdRead;
    cboSpeed->setEnabled(true);
    cboPort->setEnabled(true);
    starter->setFocus(Qt::OtherFocusReason);
    const QString direction = WritingToRadio ? QStringLiteral("Write") : QStringLiteral("Read");
    const int records = m_recordsCounted;
    const int messagesBefore = m_messagesBeforeStart;
    const bool saved = m_lastEnd == TransferOutcome::Saved;
    m_recordsCounted = 0;
    QTimer::singleShot(0, starter, [=, this] {
        // What is said follows how the transfer ended, not how many boxes were shown.
        if (!saved && m_conversation.messagesShown() != messagesBefore)
            starter->setAccessibleDescription(direction + QStringLiteral(" ended: ")
                                              + m_conversation.lastMessage());
        else if (!saved && sFileName.isEmpty())
            starter->setAccessibleDescription(direction + QStringLiteral(" ended: no file chosen"));
        else if (!saved)
            starter->setAccessibleDescription(direction + QStringLiteral(" failed"));
        else  // only a read ends well without a box: a write's end always has one
            starter->setAccessibleDescription(
                QStringLiteral("Read finished: %1 %2 saved to %3")
                    .arg(records)
                    .arg(records == 1 ? QStringLiteral("record") : QStringLiteral("records"),
                         QFileInfo(sFileName).fileName()));
    });
}
