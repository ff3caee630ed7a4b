#include "tests/support/transferfixture.h"

#include "serial/commsmodule.h"
#include "serial/portnamespace.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QProgressBar>
#include <QPushButton>
#include <QtTest>

QByteArray fileBytes(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(content) == content.size()
           && f.flush();
}

QStringList filesIn(const QString &folder)
{
    return QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
}

VirtualRadioOptions radioWith(int records, int recordSize, quint16 start)
{
    VirtualRadioOptions o;
    o.memory = RadioMemory::splitIntoRecords(RadioMemory::patternedImage(records * recordSize),
                                             recordSize, start);
    return o;
}

QByteArray icfOf(const VirtualRadioOptions &options)
{
    return RadioMemory::icfText({options.modelCode, options.comment, options.memory});
}

Rig::Rig(UserSeam &user) : conversation(MSComm1, CommonDialog1, user)
{
    InitCommsControl(MSComm1);
    conversation.setFileSystem(&ICOMFileSystem);
    QObject::connect(&conversation, &Conversation::logText, &conversation, [this](QString text) {
        log += text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    });
    QObject::connect(&conversation, &Conversation::progress, &conversation,
                     [this](int n) { progress << n; });
    QObject::connect(&conversation, &Conversation::finished, &conversation,
                     [this](const TransferOutcome &o) { outcome = o; });
}

void TransferFixture::setUpFixture()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_ports = std::make_unique<PortFolder>();
    m_ports->makeCurrent();
    pinPortNames({});  // a window's list of an earlier test pins nothing here
    m_user = std::make_unique<ScriptedSeam>();
}

void TransferFixture::tearDownFixture()
{
    m_window.reset();
    m_rig.reset();
    m_line.reset();
    m_radio.reset();
    m_user.reset();
    m_ports.reset();
    m_dir.reset();
}

void TransferFixture::connect(const VirtualRadioOptions &options, bool withWindow)
{
    m_rig.reset();
    m_window.reset();
    m_radio = std::make_unique<VirtualRadio>(options);
    QVERIFY(m_radio->publishAs(*m_ports, 1));
    if (!withWindow) {
        m_rig = std::make_unique<Rig>(*m_user);
        return;
    }
    m_window = std::make_unique<frmReadWrite>();
    m_window->Form_Load();
    QCOMPARE(m_window->cboPort->currentText(), QStringLiteral("1"));
}

void TransferFixture::loadWindowOnly()
{
    m_window = std::make_unique<frmReadWrite>();
    m_window->Form_Load();
    m_user->clear();  // "no free port" at load is not what these tests look at
}

void TransferFixture::startByHand(bool writing, bool withWindow)
{
    m_line = std::make_unique<PseudoTerminal>();
    QVERIFY(m_ports->publish(1, m_line->slavePath()));
    if (withWindow) {
        loadWindowOnly();
        (writing ? m_window->cmdWrite : m_window->cmdRead)->click();
        QVERIFY(m_window->MSComm1.PortOpen());
    } else {
        m_rig = std::make_unique<Rig>(*m_user);
        QVERIFY(m_rig->conversation.StartTransfer(writing, QStringLiteral("1"),
                                                  QStringLiteral("9600")));
    }
    QCOMPARE(sentByTool(), QByteArray::fromHex("FEFEEEEFE000000000FD"));
}

QByteArray TransferFixture::sentByTool()
{
    return m_line->read(50, 5);
}

void TransferFixture::transfer(bool writing, const QString &file)
{
    m_portOpenAtMessage = false;
    SerialControl &port = m_window ? m_window->MSComm1 : m_rig->MSComm1;
    m_user->whileNextShown([this, &port] {  // the file dialog; then the closing message
        m_user->whileNextShown([this, &port] { m_portOpenAtMessage = port.PortOpen(); });
    });
    writing ? m_user->answerOpen(file) : m_user->answerSave(file);
    if (m_window) {
        (writing ? m_window->cmdWrite : m_window->cmdRead)->click();
        waitIdle();
        return;
    }
    m_rig->outcome = {};
    QVERIFY(
        m_rig->conversation.StartTransfer(writing, QStringLiteral("1"), QStringLiteral("9600")));
    waitIdle();
}

void TransferFixture::waitIdle()
{
    if (m_window) {
        frmReadWrite &w = *m_window;
        QTRY_VERIFY_WITH_TIMEOUT(!w.MSComm1.PortOpen() && w.cmdRead->isEnabled(), kTransferLimitMs);
        QVERIFY(!w.tmrCableTimer.isActive() && !w.tmrResponseTimer.isActive());
        QVERIFY(w.cmdWrite->isEnabled() && w.chkShowText->isEnabled());
        QCOMPARE(w.ProgressBar1->value(), 0);
        return;
    }
    Rig &r = *m_rig;
    QTRY_VERIFY_WITH_TIMEOUT(!r.MSComm1.PortOpen() && !r.conversation.running(), kTransferLimitMs);
    QVERIFY(!r.conversation.tmrCableTimer.isActive()
            && !r.conversation.tmrResponseTimer.isActive());
    QVERIFY(!r.ICOMFileSystem.inputOpen() && !r.ICOMFileSystem.outputOpen());
}

QList<QByteArray> TransferFixture::commandsFromTool() const
{
    QList<QByteArray> heads;
    for (const QByteArray &f : m_radio->framesFromTool())
        heads << f.left(5);
    return heads;
}
