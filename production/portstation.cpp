// One port of a station: module after module, each upgraded as it appears.

#include "portstation.h"

#include "networkport.h"

#include <QFileInfo>

#include <algorithm>

namespace {

// Ports that do not exist yet are looked for this often.
constexpr int PortPollMs = 250;
// A port that fails at once is tried again after this, doubled each time up to the most.
constexpr int FirstRetryMs = 1000;
constexpr int MostRetryMs = 30000;

} // namespace

PortStation::PortStation(const QString &port, const HeadlessOptions &options,
                         const SharedImage &image, QObject *parent)
    : QObject(parent), m_port(port), m_options(options), m_image(image), m_retryMs(FirstRetryMs)
{
    m_poll.setInterval(PortPollMs);
    connect(&m_poll, &QTimer::timeout, this, &PortStation::poll);
    m_retry.setSingleShot(true);
    connect(&m_retry, &QTimer::timeout, this, [this] {
        m_state = State::WaitingToAppear;
        start();
    });
}

void PortStation::start()
{
    if (m_options.wait && !portPresent()) {
        m_state = State::WaitingToAppear;
        m_poll.start();
        return;
    }
    startModule();
}

void PortStation::startModule()
{
    m_poll.stop();
    m_finished.reset();
    QString moduleSerial = m_options.moduleSerial;
    switch (m_check ? m_check(&m_image, &moduleSerial) : Verdict::Go) {
    case Verdict::Go:
        break;
    case Verdict::Hold:
        m_state = State::WaitingToAppear;
        m_poll.start();
        return;
    case Verdict::End:
        m_state = State::Done;
        emit done();
        return;
    }
    m_state = State::Upgrading;
    m_module = std::make_unique<PortUpgrade>(m_port, m_options, m_image);
    m_module->setModuleSerial(moduleSerial);
    connect(m_module.get(), &PortUpgrade::ended, this, &PortStation::moduleFinished);
    m_module->start();
}

// Only the last module is kept, so that a station that loops for weeks stays the same size.
void PortStation::moduleFinished(const ModuleRecord &record)
{
    m_finished = std::move(m_module);
    const bool next = m_options.loop && !m_stopping;
    if (!takeFault(record, next)) {
        m_retryMs = FirstRetryMs;
        m_state = next ? State::WaitingToDisappear : State::Done;
        if (next)
            m_poll.start();
        emit moduleEnded(record);
    }
    if (!next)
        emit done();
}

// A port that failed before a byte was sent, when such a port is no module: told as a fault
// and, when more modules are due, tried again later. False when the record is a module's.
bool PortStation::takeFault(const ModuleRecord &record, bool next)
{
    if (m_options.recordPortFaults || !record.reason.beforeModule())
        return false;
    if (!next) {
        m_state = State::Done;
        emit portFault(record, -1);
        return true;
    }
    m_state = State::WaitingToRetry;
    m_retry.start(m_retryMs);
    emit portFault(record, m_retryMs);
    m_retryMs = qMin(m_retryMs * 2, MostRetryMs);
    return true;
}

void PortStation::poll()
{
    m_finished.reset(); // off the stack that told of its end by now
    const bool present = portPresent();
    if (m_state == State::WaitingToAppear && present)
        startModule();
    else if (m_state == State::WaitingToDisappear && !present)
        m_state = State::WaitingToAppear;
}

// A path that exists, or a name the system lists (COM ports are no files). A path is only
// looked at as a path: listing every port four times a second would cost more. An adapter
// given by its identity is looked up anew each time, under whatever name it has now; two that
// match count as present, so that the module is refused with both named instead of waited for.
bool PortStation::portPresent() const
{
    if (NetworkPort::isNetworkName(m_port))
        return true; // only a connection tells: opening tries it, and again after a refusal
    if (PortRequest::parse(m_port).isIdentity())
        return resolvePort(m_port, m_options.listPorts()).kind != PortResolution::Kind::Absent;
    if (QFileInfo::exists(m_port))
        return true;
    if (m_port.contains(QLatin1Char('/')))
        return false;
    // The run's listing, shared by every position that looks at about the same time.
    const QVector<PortIdentity> ports = m_options.listPorts();
    return std::any_of(ports.begin(), ports.end(), [this](const PortIdentity &port) {
        return port.name == m_port || port.systemLocation == m_port;
    });
}

bool PortStation::startNextNow()
{
    if (m_stopping || (m_state != State::WaitingToDisappear && m_state != State::WaitingToRetry))
        return false;
    m_retry.stop();
    m_state = State::WaitingToAppear;
    start();
    return true;
}

bool PortStation::interrupt()
{
    m_stopping = true;
    m_poll.stop();
    m_retry.stop();
    switch (m_state) {
    case State::Upgrading:
        return m_module->interrupt();
    case State::WaitingToAppear:
        if (m_options.loop)
            break;
        // The one module this port was given for never came: it is unfinished all the same.
        m_module = std::make_unique<PortUpgrade>(m_port, m_options, m_image);
        m_module->setModuleSerial(m_options.moduleSerial);
        connect(m_module.get(), &PortUpgrade::ended, this, &PortStation::moduleFinished);
        return m_module->interrupt();
    case State::WaitingToRetry:
    case State::WaitingToDisappear:
    case State::Done:
        break;
    }
    m_state = State::Done;
    emit done();
    return false;
}
