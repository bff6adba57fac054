#include "history.h"

#include "historyreader.h"
#include "historywriter.h"
#include "plantnames.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QStandardPaths>

History::History(const QString &folder, QObject *parent)
    : QObject(parent)
    , path(QDir(folder.isEmpty() ? defaultFolder() : folder).filePath(fileName()))
    , user(PlantNames::currentUser())
    , writer(new HistoryWriter(path, user))
    , reader(new HistoryReader(path))
{
    qRegisterMetaType<HistoryEvents>();
    qRegisterMetaType<HistoryFilter>();
    qRegisterMetaType<HistoryCursor>();

    writerThread.setObjectName(QStringLiteral("history writer"));
    readerThread.setObjectName(QStringLiteral("history reader"));
    writer->moveToThread(&writerThread);
    reader->moveToThread(&readerThread);
    connect(&writerThread, &QThread::started, writer, &HistoryWriter::open);
    connect(this, &History::appendNotify, writer, &HistoryWriter::append);
    connect(writer, &HistoryWriter::written, this, &History::recorded);
    connect(writer, &HistoryWriter::failed, this, &History::writerFailed);
    connect(writer, &HistoryWriter::restored, this, &History::writerRestored);
    connect(this, &History::readPageNotify, reader, &HistoryReader::readPage);
    connect(this, &History::exportNotify, reader, &HistoryReader::exportCsv);
    connect(reader, &HistoryReader::pageRead, this, &History::pageRead);
    connect(reader, &HistoryReader::exported, this, &History::exported);
    handOverTimer.setSingleShot(true);
    handOverTimer.setInterval(HandOverMs);
    connect(&handOverTimer, &QTimer::timeout, this, &History::handOver);
}

History::~History()
{
    handOver();
    if (writerThread.isRunning())
        QMetaObject::invokeMethod(writer, "finish", Qt::BlockingQueuedConnection);
    writerThread.quit();
    readerThread.quit();
    writerThread.wait();
    readerThread.wait();
    delete writer;
    delete reader;
}

void History::startWriter()
{
    if (!writerThread.isRunning())
        writerThread.start();
}

void History::startReader()
{
    if (!readerThread.isRunning())
        readerThread.start();
}

QString History::defaultFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
}

void History::record(HistoryEvent event)
{
    if (event.time == 0)
        event.time = QDateTime::currentMSecsSinceEpoch();
    if (event.user.isEmpty())
        event.user = user;
    pending.append(std::move(event));
    if (!handOverTimer.isActive())
        handOverTimer.start();
}

// One hand-over, and one wake of the writer, for all that was recorded since the last.
// The first opens the file, after the window has shown.
void History::handOver()
{
    handOverTimer.stop();
    if (pending.isEmpty())
        return;
    startWriter();
    HistoryEvents events;
    events.swap(pending);
    emit appendNotify(events);
}

int History::readPage(const HistoryFilter &filter, const HistoryCursor &after, int limit)
{
    const int ticket = nextTicket++;
    startReader();
    emit readPageNotify(ticket, filter, after, limit);
    return ticket;
}

int History::exportCsv(const HistoryFilter &filter, const QString &target)
{
    const int ticket = nextTicket++;
    startReader();
    emit exportNotify(ticket, filter, target);
    return ticket;
}

void History::writerFailed(QString reason)
{
    failure = reason;
    emit unavailable(reason);
}

void History::writerRestored()
{
    failure.clear();
    emit available();
}
