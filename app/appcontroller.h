#pragma once

#include "cabinetlist.h"
#include "cabinetlistmodel.h"
#include "mainwindowcontroller.h"
#include "sessionkeeper.h"

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
    CabinetList cabinetList;
    CabinetListModel cabinetModel;
    MainWindowController windowController;
    // Destroyed first, while window and cabinets still stand.
    SessionKeeper session;
};
