#pragma once

#include "cabinetlist.h"
#include "cabinetlistmodel.h"
#include "history.h"
#include "historyrecorder.h"
#include "mainwindowcontroller.h"

#include <QObject>

// The program as a whole: the installation's cabinets, the roster and its model,
// and the main window.
class AppController final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(AppController)

public:
    AppController();

private:
    const char *hostPrefix;
    // Outlives the window and the roster, so that the close's rows and the end are written.
    History history;
    HistoryRecorder recorder;
    CabinetList cabinetList;
    CabinetListModel cabinetModel;
    MainWindowController windowController;
};
