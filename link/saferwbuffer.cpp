#include "saferwbuffer.h"

#include <QDebug>
#include <QMutexLocker>
#include <QThread>

#include <cstring>

// Called with mutex held.
bool SafeRWBuffer::checkThread(QThread *&owner) const
{
    QThread *current = QThread::currentThread();
    if (!owner)
        owner = current;
    if (owner == current)
        return true;
    qDebug("Unsafe access to SafeRWBuffer! You hsould not change the R/W threads!");
    return false;
}

qint64 SafeRWBuffer::write(const char *data, qint64 len)
{
    if (len < 0)
        return -1;
    QMutexLocker locker(&mutex);
    if (!checkThread(writeThread))
        return -1;
    bytes.append(data, int(len));
    return len;
}

qint64 SafeRWBuffer::write(const QByteArray &data)
{
    return write(data.constData(), data.size());
}

qint64 SafeRWBuffer::read(char *data, qint64 maxLen)
{
    return take(data, maxLen, true);
}

qint64 SafeRWBuffer::peek(char *data, qint64 maxLen)
{
    return take(data, maxLen, false);
}

qint64 SafeRWBuffer::take(char *data, qint64 maxLen, bool remove)
{
    QMutexLocker locker(&mutex);
    if (!checkThread(readThread))
        return -1;
    const int n = int(qBound<qint64>(0, maxLen, bytes.size()));
    if (n > 0) {
        std::memcpy(data, bytes.constData(), size_t(n));
        if (remove)
            bytes.remove(0, n);
    }
    return n;
}

qint64 SafeRWBuffer::bytesAvailable() const
{
    QMutexLocker locker(&mutex);
    return bytes.size();
}

void SafeRWBuffer::clear()
{
    QMutexLocker locker(&mutex);
    if (checkThread(writeThread))
        bytes.clear();
}
