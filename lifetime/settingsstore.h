#pragma once

#include "settingswriter.h"

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QThread>
#include <QTimer>
#include <QVariant>
#include <QVector>

// What the operator set, kept across runs in the user's settings file (QSettings,
// which replaces the file atomically): each rotor's loop and the window; and the one
// record of how the last run ended and when it was last seen alive. Read once at
// start, with a default and a line on standard error for anything that cannot be
// used; written on change by a thread of its own, the changes of GatherMs together,
// so that a burst of changes wakes that thread once.
class SettingsStore final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SettingsStore)

public:
    enum class RunEnd
    {
        Closed,    // through the close, every loop stopped
        // It ended, but left its loops to the next start: a stop it could not confirm,
        // a loop still going, a close before the operator chose how to recover.
        LoopsLeft,
        Died, // it never said it ended: a crash, a kill, a power cut
    };

    struct Loop
    {
        bool on = false;
        int runSecs = 1;
        int pauseSecs = 1;
        bool running = false; // the program was alternating the rotor
    };

    // The user's file for this application, unless QSettings::setPath moved it.
    explicit SettingsStore(QObject *parent = nullptr);
    // Hands the last changes to the writer and waits until they are on disk.
    ~SettingsStore() override;

    // With the writer's own gathering, every change is on disk within a second.
    static constexpr int GatherMs = 500;

    void load(const QStringList &hosts, int rotorsPerCabinet);
    QString fileName() const;

    RunEnd lastRunEnd() const { return previousEnd; }
    bool lastRunEndedCleanly() const { return previousEnd == RunEnd::Closed; }
    QDateTime lastSeenAlive() const; // invalid when not known
    Loop loop(const QString &host, int rotorIndex) const;
    QByteArray windowGeometry() const;
    // The plant's program run for every alarm's change, with its arguments; empty for none.
    QString alarmCommand() const;
    QString displayedCabinet() const;

    void setLoop(const QString &host, int rotorIndex, const Loop &loop);
    void setWindowGeometry(const QByteArray &geometry);
    void setDisplayedCabinet(const QString &host);
    // From start until it is marked as ended, the run counts as one that died.
    void markRunning();
    void markAlive();
    void markCleanEnd();
    void markEndWithLoopsLeft();

    // A stored value the program could not use: said on standard error, then dropped.
    void reject(const QString &key, const QString &why);
    void rejectWindowGeometry();
    bool canSave() const { return saving; }

signals:
    void saveFailed();
    void saveRestored();
    void writeNotify(const QVariantHash &changes);

private:
    void handOver();
    void writerReported(bool saved);
    void put(const QString &key, const QVariant &value);
    void forget(const QString &key);
    QVariant validated(const QString &key, const QVariant &raw, const QStringList &hosts,
                       int rotorsPerCabinet);
    QVariant validatedCabinetKey(const QString &key, const QVariant &raw, const QStringList &hosts,
                                 int rotorsPerCabinet);

    QString file;
    QHash<QString, QVariant> values; // as on disk, after validation
    QVariantHash changed; // not yet handed to the writer; invalid: removed
    QHash<QString, QVector<QStringList>> loopKeys; // by host, then rotor
    QTimer gatherTimer;
    // How the last run ended, as read before this run marked itself.
    RunEnd previousEnd = RunEnd::Closed;
    QDateTime previousAlive;
    bool saving = true;
    QThread thread;
    SettingsWriter writer;
};
