#include "saferwbuffer.h"

#include "testsupport.h"

#include <QThread>
#include <QtTest>

#include <functional>

class tst_SafeRWBuffer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { TestSupport::failOnConnectWarnings(); }
    void readsWhatWasWrittenInOrder();
    void threadsArePinned();
    void clearDropsEverything();
};

namespace {

// Runs fn on a fresh thread and waits for it.
void onOtherThread(const std::function<void()> &fn)
{
    QThread *thread = QThread::create(fn);
    thread->start();
    thread->wait();
    delete thread;
}

} // namespace

void tst_SafeRWBuffer::readsWhatWasWrittenInOrder()
{
    SafeRWBuffer buffer;
    char out[16] = {};
    QCOMPARE(buffer.read(out, 12), qint64(0));

    QCOMPARE(buffer.write("abc", 3), qint64(3));
    QCOMPARE(buffer.write(QByteArray("de")), qint64(2));
    QCOMPARE(buffer.bytesAvailable(), qint64(5));

    QCOMPARE(buffer.read(out, 2), qint64(2));
    QCOMPARE(QByteArray(out, 2), QByteArray("ab"));
    QCOMPARE(buffer.read(out, 12), qint64(3)); // fewer held than asked for
    QCOMPARE(QByteArray(out, 3), QByteArray("cde"));
    QCOMPARE(buffer.bytesAvailable(), qint64(0));
    QCOMPARE(buffer.read(out, 0), qint64(0));
}

void tst_SafeRWBuffer::threadsArePinned()
{
    SafeRWBuffer buffer;
    const char *const message = "Unsafe access to SafeRWBuffer! You hsould not change the R/W threads!";

    // The writer is whoever writes first: here another thread.
    qint64 written = 0;
    onOtherThread([&] { written = buffer.write("0123456789", 10); });
    QCOMPARE(written, qint64(10));

    QTest::ignoreMessage(QtDebugMsg, message);
    QCOMPARE(buffer.write("x", 1), qint64(-1));
    QCOMPARE(buffer.bytesAvailable(), qint64(10));

    // The reader is this thread; another one is turned away and takes nothing.
    char out[4];
    QCOMPARE(buffer.read(out, 4), qint64(4));
    qint64 readElsewhere = 0;
    QTest::ignoreMessage(QtDebugMsg, message);
    onOtherThread([&] { readElsewhere = buffer.read(out, 4); });
    QCOMPARE(readElsewhere, qint64(-1));
    QCOMPARE(buffer.bytesAvailable(), qint64(6));
    QCOMPARE(buffer.read(out, 4), qint64(4));
    QCOMPARE(QByteArray(out, 4), QByteArray("4567"));
}

void tst_SafeRWBuffer::clearDropsEverything()
{
    SafeRWBuffer buffer;
    buffer.write("stale", 5);
    buffer.clear();
    QCOMPARE(buffer.bytesAvailable(), qint64(0));
    buffer.write("new", 3);
    char out[3];
    QCOMPARE(buffer.read(out, 3), qint64(3));
    QCOMPARE(QByteArray(out, 3), QByteArray("new"));
}

QTEST_GUILESS_MAIN(tst_SafeRWBuffer)
#include "tst_saferwbuffer.moc"
