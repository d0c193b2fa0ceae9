#pragma once

#include <QByteArray>
#include <QVector>

#include <cstdint>

// The telnet layer of a port on a device server. Out: data with every 0xFF doubled, and
// commands. In: a stream cut anywhere, split into its data (0xFF undoubled) and its commands.
class TelnetCodec
{
public:
    enum Byte : uint8_t {
        Se = 240,
        Sb = 250,
        Will = 251,
        Wont = 252,
        Do = 253,
        Dont = 254,
        Iac = 255,
    };
    enum Option : uint8_t { Binary = 0, SuppressGoAhead = 3, ComPort = 44 };

    // A negotiation (WILL, WONT, DO or DONT and its option), or a sub-negotiation (SB, its
    // option and what it carries, undoubled).
    struct Command
    {
        uint8_t verb = 0;
        uint8_t option = 0;
        QByteArray parameters;
        bool operator==(const Command &other) const
        {
            return verb == other.verb && option == other.option && parameters == other.parameters;
        }
    };

    static QByteArray escaped(const QByteArray &data);
    static QByteArray negotiation(uint8_t verb, uint8_t option);
    static QByteArray subnegotiation(uint8_t option, const QByteArray &parameters);

    // Takes the next piece of the stream: its data bytes go to `data`, the commands it
    // completes to `commands`, in order.
    void take(const QByteArray &chunk, QByteArray &data, QVector<Command> &commands);

private:
    enum class State : uint8_t { Data, Iac, Option, SubOption, SubData, SubIac };
    void takeIac(uint8_t byte);
    void takeSubData(uint8_t byte);

    // A server may send anything: what a sub-negotiation carries beyond this is dropped.
    static constexpr int MaxParameters = 64;
    State m_state = State::Data;
    Command m_command;
};
