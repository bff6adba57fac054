#pragma once

#include <QByteArray>
#include <QMutex>
#include <QObject>

QT_BEGIN_NAMESPACE
class QThread;
QT_END_NAMESPACE

// Byte buffer shared by one writing and one reading thread; each side is pinned
// to the first thread that uses it, and any other thread is turned away.
class SafeRWBuffer : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SafeRWBuffer)

public:
    SafeRWBuffer() = default;

    qint64 write(const char *data, qint64 len);
    qint64 write(const QByteArray &data);
    qint64 read(char *data, qint64 maxLen);
    // As read(), but the bytes stay: for a reader that needs a frame's header to
    // know how long the frame is.
    qint64 peek(char *data, qint64 maxLen);
    qint64 bytesAvailable() const;
    // Drops whatever is held; for the writing side, when its stream starts afresh.
    void clear();

private:
    bool checkThread(QThread *&owner) const;
    qint64 take(char *data, qint64 maxLen, bool remove);

    QByteArray bytes;
    mutable QMutex mutex;
    QThread *readThread = nullptr;
    QThread *writeThread = nullptr;
};
