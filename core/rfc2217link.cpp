#include "rfc2217link.h"

#include "networkport.h"

#include <QDeadlineTimer>
#include <QDebug>

namespace {

// COM-PORT-OPTION commands, client to server; the server answers each with its code + 100.
enum ComPortCommand : uint8_t {
    SetBaudRate = 1,
    SetDataSize = 2,
    SetParity = 3,
    SetStopSize = 4,
    SetControl = 5,
    PurgeData = 12,
};
constexpr uint8_t ServerAnswer = 100;
constexpr char EightBits = 8, NoParity = 1, OneStopBit = 1, NoFlowControl = 1, PurgeBoth = 3;

QByteArray bigEndian(quint32 value)
{
    const char bytes[] = {char(value >> 24), char(value >> 16), char(value >> 8), char(value)};
    return QByteArray(bytes, sizeof bytes);
}

} // namespace

// The socket is a child so that it moves with the link to another thread.
Rfc2217Link::Rfc2217Link(QObject *parent) : Link(parent), m_socket(this)
{
    connect(&m_socket, &QIODevice::readyRead, this, &Rfc2217Link::readAvailable);
    connect(&m_socket, &QAbstractSocket::errorOccurred, this, &Rfc2217Link::handleSocketError);
}

bool Rfc2217Link::open(const QString &portName, qint32 rate)
{
    close();
    m_name = portName;
    m_error = LinkError::NoError;
    m_comPort = OptionAnswer::None;
    m_confirmedRate = 0;
    m_codec = TelnetCodec();
    if (!connectToServer() || !negotiate(rate))
        return false;
    m_open = true;
    deliverHeld();
    return true;
}

bool Rfc2217Link::connectToServer()
{
    const NetworkPort port = NetworkPort::parse(m_name);
    if (!port.problem.isEmpty()) // typed in the window: no address to connect to
        return fail(linkError(QSerialPort::DeviceNotFoundError));
    m_socket.connectToHost(port.host, port.port);
    if (!m_socket.waitForConnected(ConnectTimeoutMs))
        return fail(LinkError::ServerUnreachable);
    // A request of a few bytes must not wait for more to fill a packet.
    m_socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    qDebug() << "Connected to the device server" << m_name;
    return true;
}

// BINARY both ways and no go-aheads, so that every byte is data; then the port's settings,
// 8N1 without flow control, and the rate, which the server must confirm.
bool Rfc2217Link::negotiate(qint32 rate)
{
    using T = TelnetCodec;
    m_socket.write(T::negotiation(T::Will, T::Binary) + T::negotiation(T::Do, T::Binary) +
                   T::negotiation(T::Will, T::SuppressGoAhead) +
                   T::negotiation(T::Do, T::SuppressGoAhead) + T::negotiation(T::Will, T::ComPort));
    if (!waitFor([this] { return m_comPort != OptionAnswer::None; }, AnswerTimeoutMs) ||
        m_comPort == OptionAnswer::Refused)
        return fail(m_socket.state() == QAbstractSocket::ConnectedState ? LinkError::OptionRefused
                                                                        : LinkError::ServerClosed);
    sendComPort(SetDataSize, QByteArray(1, EightBits));
    sendComPort(SetParity, QByteArray(1, NoParity));
    sendComPort(SetStopSize, QByteArray(1, OneStopBit));
    sendComPort(SetControl, QByteArray(1, NoFlowControl));
    // What the server holds from before this connection is no part of this session.
    sendComPort(PurgeData, QByteArray(1, PurgeBoth));
    return setRate(rate);
}

bool Rfc2217Link::reopenAt(qint32 rate)
{
    if (!m_open)
        return fail(LinkError(int(QSerialPort::NotOpenError)));
    // What was written before is ahead of the command in the stream: the server sends it
    // out at the old rate first.
    return setRate(rate);
}

bool Rfc2217Link::setRate(qint32 rate)
{
    m_confirmedRate = 0;
    sendComPort(SetBaudRate, bigEndian(quint32(rate)));
    if (!waitFor([this] { return m_confirmedRate != 0; }, AnswerTimeoutMs) ||
        m_confirmedRate != rate)
        return fail(m_socket.state() == QAbstractSocket::ConnectedState
                        ? LinkError::RateNotConfirmed
                        : LinkError::ServerClosed);
    m_rate = rate;
    deliverHeld();
    return true;
}

// Closes the link and keeps why; false, for the caller to return.
bool Rfc2217Link::fail(LinkError error)
{
    m_detail = error == LinkError::ServerUnreachable ? m_socket.errorString() : QString();
    close();
    m_error = error;
    return false;
}

void Rfc2217Link::close()
{
    m_open = false;
    m_waiting = false;
    m_held.clear();
    m_socket.abort();
}

// The socket's own words, translated with Qt, only follow ours: nothing decides from them.
QString Rfc2217Link::errorString() const
{
    const QString shown = serialErrorShown(m_error);
    return m_error == LinkError::ServerUnreachable && !m_detail.isEmpty()
               ? QStringLiteral("%1 (%2)").arg(shown, m_detail)
               : shown;
}

void Rfc2217Link::sendComPort(uint8_t command, const QByteArray &value)
{
    m_socket.write(TelnetCodec::subnegotiation(TelnetCodec::ComPort, char(command) + value));
    m_socket.flush();
}

// Reads what comes until `done` says so or `ms` have passed; the data that comes meanwhile
// is held and delivered afterwards, so that no chunk reaches the upgrade in the middle of
// one of its own steps.
bool Rfc2217Link::waitFor(const std::function<bool()> &done, int ms)
{
    const QDeadlineTimer deadline(ms);
    m_waiting = true;
    while (!done() && m_socket.state() == QAbstractSocket::ConnectedState && !deadline.hasExpired())
        m_socket.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
    m_waiting = false;
    return done();
}

qint64 Rfc2217Link::write(const QByteArray &data)
{
    if (!m_open)
        return -1;
    if (m_socket.write(TelnetCodec::escaped(data)) < 0)
        return -1;
    m_socket.flush();           // the module waits for every reply
    reportWritten(data.size()); // in data bytes, not in what the doubling made of them
    return data.size();
}

void Rfc2217Link::readAvailable()
{
    QByteArray data;
    QVector<TelnetCodec::Command> commands;
    m_codec.take(m_socket.readAll(), data, commands);
    for (const TelnetCodec::Command &command : commands)
        takeCommand(command);
    if (data.isEmpty())
        return;
    if (m_waiting || !m_open)
        m_held.append(data);
    else
        emit received(data);
}

void Rfc2217Link::deliverHeld()
{
    if (m_held.isEmpty())
        return;
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (m_open && !m_waiting && !m_held.isEmpty())
                emit received(std::exchange(m_held, QByteArray()));
        },
        Qt::QueuedConnection);
}

void Rfc2217Link::takeCommand(const TelnetCodec::Command &command)
{
    if (command.verb == TelnetCodec::Sb) {
        if (command.option == TelnetCodec::ComPort)
            takeComPortAnswer(command.parameters);
        return;
    }
    answerNegotiation(command.verb, command.option);
}

// BINARY and SUPPRESS-GO-AHEAD are wanted both ways and COM-PORT-OPTION from this side, all
// asked for at once: an agreement needs no answer. Anything else is declined, and a refusal
// of COM-PORT-OPTION ends the open.
void Rfc2217Link::answerNegotiation(uint8_t verb, uint8_t option)
{
    using T = TelnetCodec;
    const bool wanted = option == T::Binary || option == T::SuppressGoAhead;
    if (option == T::ComPort && (verb == T::Do || verb == T::Dont)) {
        m_comPort = verb == T::Do ? OptionAnswer::Accepted : OptionAnswer::Refused;
        return;
    }
    if (verb == T::Do && !wanted && option != T::ComPort)
        m_socket.write(T::negotiation(T::Wont, option));
    else if (verb == T::Will && !wanted)
        m_socket.write(T::negotiation(T::Dont, option));
}

// The server's answers to the settings. Only the rate's is waited for; the others, and
// notices of line and modem state (a server on a pseudo-terminal may answer no modem control
// at all), change nothing here.
void Rfc2217Link::takeComPortAnswer(const QByteArray &parameters)
{
    if (parameters.size() == 5 && uint8_t(parameters.at(0)) == ServerAnswer + SetBaudRate) {
        const auto byte = [&](int i) { return quint32(uint8_t(parameters.at(i))); };
        m_confirmedRate = qint32(byte(1) << 24 | byte(2) << 16 | byte(3) << 8 | byte(4));
    }
}

// A connection that ends while the link is open is a lost port; while waiting for an answer
// the wait ends and says so itself.
void Rfc2217Link::handleSocketError(QAbstractSocket::SocketError error)
{
    if (!m_open || m_waiting)
        return;
    m_open = false;
    m_error = LinkError::ServerClosed;
    qDebug() << "Device server connection ended:" << int(error) << m_socket.errorString();
    emit lost(serialErrorShown(m_error));
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (!m_open)
                m_socket.abort();
        },
        Qt::QueuedConnection);
}
