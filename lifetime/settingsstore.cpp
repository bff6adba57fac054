#include "settingsstore.h"

#include "loopschedule.h"

#include <QSettings>

#include <algorithm>
#include <cstdio>

namespace {

const QString StateKey = QStringLiteral("run/state");
const QString AliveKey = QStringLiteral("run/lastAlive");
const QString GeometryKey = QStringLiteral("window/geometry");
const QString DisplayedKey = QStringLiteral("window/cabinet");
// Set by the plant, never by the program: kept as it stands.
const QString AlarmCommandKey = QStringLiteral("alarms/command");
// What a run says of itself: running until it ends, then how it ended.
const QString Running = QStringLiteral("running");
const QString Ended = QStringLiteral("ended");
const QString LoopsLeft = QStringLiteral("loopsLeft");

// Rotors are numbered as on the panels, 1 to 4.
QString rotorKey(const QString &host, int rotorIndex, const char *field)
{
    return QStringLiteral("cabinets/%1/rotor%2/%3").arg(host).arg(rotorIndex + 1).arg(QLatin1String(field));
}

QString shown(const QVariant &raw)
{
    if (raw.userType() == QMetaType::QStringList)
        return raw.toStringList().join(QLatin1Char(','));
    return raw.toString();
}

bool isText(const QVariant &raw)
{
    return raw.userType() == QMetaType::QString;
}

} // namespace

SettingsStore::SettingsStore(QObject *parent)
    : QObject(parent)
    , file(QSettings().fileName())
    , writer(file)
{
    thread.setObjectName(QStringLiteral("settings writer"));
    writer.moveToThread(&thread);
    connect(this, &SettingsStore::writeNotify, &writer, &SettingsWriter::write);
    connect(&writer, &SettingsWriter::reported, this, &SettingsStore::writerReported);
    gatherTimer.setSingleShot(true);
    gatherTimer.setInterval(GatherMs);
    connect(&gatherTimer, &QTimer::timeout, this, &SettingsStore::handOver);
    thread.start();
}

SettingsStore::~SettingsStore()
{
    handOver();
    // Behind every write already handed over.
    QMetaObject::invokeMethod(&writer, &SettingsWriter::flush, Qt::BlockingQueuedConnection);
    thread.quit();
    thread.wait();
}

QString SettingsStore::fileName() const
{
    return file;
}

void SettingsStore::load(const QStringList &hosts, int rotorsPerCabinet)
{
    QSettings settings(file, QSettings::IniFormat);
    const QStringList keys = settings.allKeys();
    if (settings.status() == QSettings::AccessError) {
        std::fprintf(stderr, "Settings file %s cannot be read; using the defaults\n", qPrintable(file));
        return;
    }
    if (settings.status() == QSettings::FormatError) {
        std::fprintf(stderr, "Settings file %s is corrupt; what could not be read is left at its default\n",
                     qPrintable(file));
    }
    for (const QString &key : keys) {
        const QVariant value = validated(key, settings.value(key), hosts, rotorsPerCabinet);
        if (value.isValid())
            values.insert(key, value);
    }
    const QString state = values.value(StateKey, Ended).toString();
    previousEnd = state == Ended ? RunEnd::Closed : state == LoopsLeft ? RunEnd::LoopsLeft : RunEnd::Died;
    previousAlive = QDateTime::fromString(values.value(AliveKey).toString(), Qt::ISODateWithMs);
}

// The value as the program uses it, or an invalid one after saying what is wrong.
QVariant SettingsStore::validated(const QString &key, const QVariant &raw, const QStringList &hosts,
                                  int rotorsPerCabinet)
{
    const QString text = shown(raw);
    const QString quoted = QLatin1Char('"') + text + QLatin1Char('"');
    if (key == StateKey) {
        if (isText(raw) && (text == Running || text == Ended || text == LoopsLeft))
            return text;
        reject(key, quoted + QStringLiteral(" is not running, ended or loopsLeft; taken as ended"));
        return {};
    }
    if (key == AliveKey) {
        if (isText(raw) && QDateTime::fromString(text, Qt::ISODateWithMs).isValid())
            return text;
        reject(key, quoted + QStringLiteral(" is not a time; the time away is not known"));
        return {};
    }
    if (key == GeometryKey) {
        if (raw.userType() == QMetaType::QByteArray && !raw.toByteArray().isEmpty())
            return raw;
        rejectWindowGeometry();
        return {};
    }
    if (key == DisplayedKey) {
        if (isText(raw) && hosts.contains(text))
            return text;
        reject(key, quoted + QStringLiteral(" is not a cabinet of this installation; none is shown"));
        return {};
    }
    if (key == AlarmCommandKey) {
        // A command whose arguments hold a comma reads back as a list.
        if (isText(raw) || raw.userType() == QMetaType::QStringList)
            return text;
        reject(key, quoted + QStringLiteral(" is not a command; no alarm command is run"));
        return {};
    }
    return validatedCabinetKey(key, raw, hosts, rotorsPerCabinet);
}

QVariant SettingsStore::validatedCabinetKey(const QString &key, const QVariant &raw, const QStringList &hosts,
                                            int rotorsPerCabinet)
{
    // cabinets/<host>/rotor<n>/<field>, taken apart by hand: a regular expression
    // costs more to make at start than the whole file costs to read.
    const QStringList parts = key.split(QLatin1Char('/'));
    if (parts.size() < 3 || parts.at(0) != QLatin1String("cabinets") || parts.at(1).isEmpty()) {
        reject(key, QStringLiteral("unknown setting; ignored"));
        return {};
    }
    const QString host = parts.at(1);
    if (!hosts.contains(host)) {
        reject(key, QStringLiteral("no cabinet %1 in this installation; ignored").arg(host));
        return {};
    }
    // Written by earlier versions and never read: a start connects nothing by itself.
    if (parts.size() == 3 && parts.at(2) == QLatin1String("connected")) {
        forget(key);
        return {};
    }
    static const QStringList fields = {QStringLiteral("loop"), QStringLiteral("onSecs"), QStringLiteral("offSecs"),
                                       QStringLiteral("looping")};
    const QString &rotorPart = parts.at(2);
    const QString digits = rotorPart.mid(5);
    const bool allDigits = !digits.isEmpty()
            && std::all_of(digits.cbegin(), digits.cend(), [](QChar c) { return c >= QLatin1Char('0') && c <= QLatin1Char('9'); });
    if (parts.size() != 4 || !rotorPart.startsWith(QLatin1String("rotor")) || !allDigits
        || !fields.contains(parts.at(3))) {
        reject(key, QStringLiteral("unknown setting; ignored"));
        return {};
    }
    const int number = digits.toInt();
    if (number < 1 || number > rotorsPerCabinet) {
        reject(key, QStringLiteral("no rotor %1 on a cabinet; ignored").arg(digits));
        return {};
    }
    const QString text = shown(raw);
    const QString quoted = QLatin1Char('"') + text + QLatin1Char('"');
    const QString &field = parts.at(3);
    if (field == QLatin1String("loop") || field == QLatin1String("looping")) {
        if (raw.userType() == QMetaType::Bool
            || (isText(raw) && (text == QLatin1String("true") || text == QLatin1String("false"))))
            return raw.toBool();
        reject(key, quoted + QStringLiteral(" is not true or false; ")
                   + (field == QLatin1String("loop") ? QStringLiteral("loop mode off")
                                                     : QStringLiteral("taken as not looping")));
        return {};
    }
    bool isNumber = false;
    const int secs = text.toInt(&isNumber);
    // Text as read from the file; a number as this process's QSettings wrote it.
    if ((isText(raw) || raw.userType() == QMetaType::Int) && isNumber && secs >= LoopSchedule::MinSecs
        && secs <= LoopSchedule::MaxSecs)
        return secs;
    reject(key, quoted + QStringLiteral(" is not a time of %1 to %2 s; using %1 s").arg(LoopSchedule::MinSecs).arg(LoopSchedule::MaxSecs));
    return {};
}

void SettingsStore::reject(const QString &key, const QString &why)
{
    std::fprintf(stderr, "Settings file %s: %s: %s\n", qPrintable(file), qPrintable(key), qPrintable(why));
    forget(key);
}

// Dropped from the file at the next write.
void SettingsStore::forget(const QString &key)
{
    values.remove(key);
    changed.insert(key, QVariant());
    if (!gatherTimer.isActive())
        gatherTimer.start();
}

void SettingsStore::rejectWindowGeometry()
{
    reject(GeometryKey, QStringLiteral("not a saved window geometry; using the default size and place"));
}

QDateTime SettingsStore::lastSeenAlive() const
{
    return previousAlive;
}

SettingsStore::Loop SettingsStore::loop(const QString &host, int rotorIndex) const
{
    Loop loop;
    loop.on = values.value(rotorKey(host, rotorIndex, "loop"), loop.on).toBool();
    loop.runSecs = values.value(rotorKey(host, rotorIndex, "onSecs"), loop.runSecs).toInt();
    loop.pauseSecs = values.value(rotorKey(host, rotorIndex, "offSecs"), loop.pauseSecs).toInt();
    loop.running = values.value(rotorKey(host, rotorIndex, "looping"), loop.running).toBool();
    return loop;
}

QString SettingsStore::alarmCommand() const
{
    return values.value(AlarmCommandKey).toString();
}

QByteArray SettingsStore::windowGeometry() const
{
    return values.value(GeometryKey).toByteArray();
}

QString SettingsStore::displayedCabinet() const
{
    return values.value(DisplayedKey).toString();
}

void SettingsStore::setLoop(const QString &host, int rotorIndex, const Loop &loop)
{
    // Asked every second for every rotor: the keys are made once.
    QVector<QStringList> &hostKeys = loopKeys[host];
    if (hostKeys.size() <= rotorIndex)
        hostKeys.resize(rotorIndex + 1);
    QStringList &keys = hostKeys[rotorIndex];
    if (keys.isEmpty()) {
        for (const char *field : {"loop", "onSecs", "offSecs", "looping"})
            keys << rotorKey(host, rotorIndex, field);
    }
    put(keys.at(0), loop.on);
    put(keys.at(1), qBound(LoopSchedule::MinSecs, loop.runSecs, LoopSchedule::MaxSecs));
    put(keys.at(2), qBound(LoopSchedule::MinSecs, loop.pauseSecs, LoopSchedule::MaxSecs));
    put(keys.at(3), loop.running);
}

void SettingsStore::setWindowGeometry(const QByteArray &geometry)
{
    put(GeometryKey, geometry);
}

void SettingsStore::setDisplayedCabinet(const QString &host)
{
    put(DisplayedKey, host);
}

void SettingsStore::markRunning()
{
    put(StateKey, Running);
    markAlive();
}

void SettingsStore::markAlive()
{
    put(AliveKey, QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs));
}

void SettingsStore::markCleanEnd()
{
    markAlive();
    put(StateKey, Ended);
}

void SettingsStore::markEndWithLoopsLeft()
{
    markAlive();
    put(StateKey, LoopsLeft);
}

void SettingsStore::put(const QString &key, const QVariant &value)
{
    if (values.value(key) == value)
        return;
    values.insert(key, value);
    changed.insert(key, value);
    if (!gatherTimer.isActive())
        gatherTimer.start();
}

void SettingsStore::handOver()
{
    gatherTimer.stop();
    if (changed.isEmpty())
        return;
    QVariantHash changes;
    changes.swap(changed);
    emit writeNotify(changes);
}

void SettingsStore::writerReported(bool saved)
{
    const bool wasSaving = saving;
    saving = saved;
    if (wasSaving && !saved)
        emit saveFailed();
    if (!wasSaving && saved)
        emit saveRestored();
}
