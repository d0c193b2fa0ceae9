#include "faultinjector.h"

#include "protocol.h"

FaultInjector::FaultInjector(const FaultOptions &options)
    : m_options(options), m_random(options.seed)
{
}

QVector<FaultInjector::Piece> FaultInjector::shape(const QByteArray &frame)
{
    QVector<Piece> pieces;
    if (chance(m_options.noise)) {
        QByteArray garbage(1 + int(m_random.bounded(16)), Qt::Uninitialized);
        // Any byte up to 0xAA but never 0x55: garbage may end in a stray first header byte,
        // which the upgrader must not let cost the frame behind it, but never forms a header.
        for (char &byte : garbage) {
            const auto value = uint8_t(m_random.bounded(FrameHeader1 + 1));
            byte = char(value == FrameHeader2 ? FrameHeader1 : value);
        }
        pieces.append({garbage, 0});
    }
    if (!m_options.split) {
        pieces.append({frame, 0});
        return pieces;
    }
    for (int at = 0; at < frame.size();) {
        const int size = 1 + int(m_random.bounded(quint32(frame.size() - at)));
        pieces.append({frame.mid(at, size), int(m_random.bounded(4))});
        at += size;
    }
    return pieces;
}

QByteArray FaultInjector::corrupted(const QByteArray &request)
{
    QByteArray bytes = request;
    if (chance(m_options.corruptCrc))
        bytes[bytes.size() - 1] = char(bytes.at(bytes.size() - 1) ^ 0x5A);
    return bytes;
}

QVector<QByteArray> FaultInjector::onceBeforeServing() const
{
    QVector<QByteArray> frames;
    if (m_options.badLength)
        frames.append(QByteArray::fromHex("AA550000"));
    if (m_options.shortRequest)
        frames.append(buildFrame(ReadDataCmd, QByteArray::fromHex("000000")));
    return frames;
}

bool FaultInjector::chance(double probability)
{
    return probability > 0 && m_random.generateDouble() < probability;
}
