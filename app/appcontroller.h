#pragma once

#include "alarmkeeper.h"
#include "cabinetlist.h"
#include "cabinetlistmodel.h"
#include "history.h"
#include "historyrecorder.h"
#include "mainwindowcontroller.h"
#include "overviewmodel.h"
#include "sessionkeeper.h"
#include "shutdownsequence.h"
#include "signalwatcher.h"
#include "stopall.h"

#include <QObject>

// The program as a whole: the installation's cabinets, the roster and its model,
// the main window, and how the program ends.
class AppController final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(AppController)

public:
    AppController();
    ~AppController() override;

    // 0 unless the end sent stops it could not confirm.
    int exitStatus() const;
    AlarmKeeper *alarmKeeper() { return &alarms; }

signals:
    // The end by a signal has done what it could; the event loop ends with this status.
    void ended(int exitStatus);

private slots:
    void signalled(int signalNumber);
    void endedBySignal();
    void finishBeforeExit();

private:
    void printUnconfirmed() const;
    void wireStopAll();

    const char *hostPrefix;
    // Outlives the window and the roster, so that the close's rows and the end are written.
    History history;
    HistoryRecorder recorder;
    // Outlives the window and the end, whose unconfirmed stops it raises.
    AlarmKeeper alarms;
    CabinetList cabinetList;
    CabinetListModel cabinetModel;
    OverviewModel overviewModel;
    ShutdownSequence shutdown;
    StopAll stopAll;
    MainWindowController windowController;
    SignalWatcher signalWatcher;
    // Destroyed first, while window and cabinets still stand.
    SessionKeeper session;
    bool endingBySignal = false;
};
