#include "link.h"

#include <utility>

void Link::reportWritten(qint64 bytes)
{
    if (bytes <= 0)
        return;
    const bool scheduled = m_unreportedBytes > 0;
    m_unreportedBytes += bytes;
    if (!scheduled)
        QMetaObject::invokeMethod(
            this, [this] { emit bytesWritten(std::exchange(m_unreportedBytes, 0)); },
            Qt::QueuedConnection);
}
