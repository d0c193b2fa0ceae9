#pragma once

#include "link.h"
#include "telnetcodec.h"

#include <QTcpSocket>

#include <functional>

// A serial port on a device server, reached over TCP by RFC 2217 (telnet with the COM-PORT
// option): the settings go to the server as commands, the data both ways with 0xFF doubled.
// Opening and every rate switch wait, bounded, for the server's answer, so that the upgrade's
// next step follows only a rate the server has confirmed.
class Rfc2217Link : public Link
{
    Q_OBJECT

public:
    // How long the server may take to accept the connection and to answer a setting.
    static constexpr int ConnectTimeoutMs = 5000;
    static constexpr int AnswerTimeoutMs = 3000;

    explicit Rfc2217Link(QObject *parent = nullptr);

    bool open(const QString &portName, qint32 rate) override;
    bool reopenAt(qint32 rate) override;
    void close() override;
    bool isOpen() const override { return m_open; }
    qint32 rate() const override { return m_rate; }
    QString portName() const override { return m_name; }
    QString errorString() const override;
    LinkError error() const override { return m_error; }
    qint64 write(const QByteArray &data) override;

private:
    bool connectToServer();
    bool negotiate(qint32 rate);
    bool setRate(qint32 rate);
    bool fail(LinkError error);
    void sendComPort(uint8_t command, const QByteArray &value);
    bool waitFor(const std::function<bool()> &done, int ms);
    void readAvailable();
    void takeCommand(const TelnetCodec::Command &command);
    void answerNegotiation(uint8_t verb, uint8_t option);
    void takeComPortAnswer(const QByteArray &parameters);
    void deliverHeld();
    void handleSocketError(QAbstractSocket::SocketError error);

    QTcpSocket m_socket;
    TelnetCodec m_codec;
    QString m_name;
    qint32 m_rate = 0;
    bool m_open = false;
    LinkError m_error = LinkError::NoError;
    QString m_detail; // the socket's own words on the last network error
    bool m_waiting = false;
    QByteArray m_held; // data that came while waiting for an answer
    enum class OptionAnswer { None, Accepted, Refused } m_comPort = OptionAnswer::None;
    qint32 m_confirmedRate = 0;
};
