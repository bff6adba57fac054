#pragma once

#include "recovery.h"
#include "settingsstore.h"

#include <QDateTime>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QTimer>

QT_BEGIN_NAMESPACE
class QLabel;
QT_END_NAMESPACE

class Cabinet;
class MainWindowController;

// Keeps what the operator set from one run to the next, and marks how a run ended:
// the one record of it. After a run that did not end through the close, it has the
// loops that run left behind read and put to the operator before it records anything new.
class SessionKeeper final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SessionKeeper)

public:
    explicit SessionKeeper(QObject *parent);
    // The program ends through the close: the run ended cleanly, unless loops still run.
    ~SessionKeeper() override;
    // The end could not confirm every stop: the run leaves its loops to the next
    // start, which offers the recovery for the loops last known running.
    void endWithUnconfirmedStops();
    // The end begins: what runs now is what a recovery would need, and the stops
    // about to be sent must not overwrite it before they are confirmed.
    void endingBegins();

    // Once the window shows the complete roster.
    void start(const QList<Cabinet *> &cabinets, MainWindowController *windowController);

    // Loaded by start(); the alarms take their command and the save failures from it.
    SettingsStore *settings() { return &store; }

    static constexpr int RecordMs = 1000;
    static constexpr int AliveMs = 30000;

signals:
    // For the history, at start: the last run never said it ended (lastSeenAlive
    // invalid when not known).
    void lastRunDied(const QDateTime &lastSeenAlive);
    // For the history: the operator's choice after a run that died, and its rotors.
    void recoveryChosen(Recovery::Choice choice, const QStringList &rotors);

private:
    void restore();
    void showRecovery();
    void record();

    SettingsStore store;
    Recovery recovery;
    QList<Cabinet *> cabinets;
    MainWindowController *windowController = nullptr;
    QPointer<QLabel> cannotSaveLbl;
    QTimer recordTimer;
    QTimer aliveTimer;
    bool unconfirmedEnd = false;
    bool ending = false;
};
