#include "telnetcodec.h"

QByteArray TelnetCodec::escaped(const QByteArray &data)
{
    if (!data.contains(char(Iac)))
        return data; // shared, not copied: most replies hold no 0xFF
    QByteArray out;
    out.reserve(data.size() * 2);
    for (const char byte : data) {
        out.append(byte);
        if (uint8_t(byte) == Iac)
            out.append(byte);
    }
    return out;
}

QByteArray TelnetCodec::negotiation(uint8_t verb, uint8_t option)
{
    const char bytes[] = {char(Iac), char(verb), char(option)};
    return QByteArray(bytes, sizeof bytes);
}

QByteArray TelnetCodec::subnegotiation(uint8_t option, const QByteArray &parameters)
{
    const char start[] = {char(Iac), char(Sb), char(option)};
    const char end[] = {char(Iac), char(Se)};
    return QByteArray(start, sizeof start) + escaped(parameters) + QByteArray(end, sizeof end);
}

void TelnetCodec::take(const QByteArray &chunk, QByteArray &data, QVector<Command> &commands)
{
    for (const char signedByte : chunk) {
        const auto byte = uint8_t(signedByte);
        switch (m_state) {
        case State::Data:
            if (byte == Iac)
                m_state = State::Iac;
            else
                data.append(signedByte);
            break;
        case State::Iac:
            if (byte == Iac) {
                data.append(signedByte);
                m_state = State::Data;
            } else {
                takeIac(byte);
            }
            break;
        case State::Option:
            m_command.option = byte;
            commands.append(m_command);
            m_state = State::Data;
            break;
        case State::SubOption:
            m_command.option = byte;
            m_state = State::SubData;
            break;
        case State::SubData:
            takeSubData(byte);
            break;
        case State::SubIac:
            if (byte == Iac) {
                takeSubData(byte);
            } else if (byte == Se) {
                commands.append(m_command);
                m_state = State::Data;
            } else {
                takeIac(byte); // a sub-negotiation cut short: dropped
            }
            break;
        }
    }
}

// The byte after an IAC that does not double it.
void TelnetCodec::takeIac(uint8_t byte)
{
    m_command = Command{byte, 0, {}};
    if (byte >= Will && byte <= Dont)
        m_state = State::Option;
    else if (byte == Sb)
        m_state = State::SubOption;
    else
        m_state = State::Data; // NOP, GA and the like: nothing to act on
}

void TelnetCodec::takeSubData(uint8_t byte)
{
    if (m_state == State::SubData && byte == Iac) {
        m_state = State::SubIac;
        return;
    }
    if (m_command.parameters.size() < MaxParameters)
        m_command.parameters.append(char(byte));
    m_state = State::SubData;
}
