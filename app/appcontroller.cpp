#include "appcontroller.h"

#include "cabinet.h"
#include "historymenus.h"
#include "installation.h"
#include "stoprun.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QGuiApplication>

#include <cstdio>
#include <cstdlib>

// Members go in reverse order: window, model, roster, the recorder (the end row),
// the history (written out); then the QObject base deletes the cabinets, each
// ending its worker thread.
AppController::AppController()
    : hostPrefix(Installation::HostPrefix)
    , recorder(&history)
    , alarms(&history)
    , cabinetModel(&cabinetList, this)
    , overviewModel(&cabinetList, &cabinetModel, this)
    , shutdown(&cabinetList)
    , stopAll(&cabinetList)
    , windowController(this)
    , session(this)
{
    QStringList hosts;
    for (int host = Installation::FirstHost; host <= Installation::LastHost; ++host) {
        auto *cabinet = new Cabinet(QLatin1String(hostPrefix) + QString::number(host),
                                    Installation::RotorsPerCabinet, this);
        cabinetList.appendCabinet(cabinet);
        recorder.watch(cabinet);
        alarms.watch(cabinet);
        hosts << cabinet->host();
    }
    // The model announces no rows as they come, so the view gets it complete.
    windowController.setCabinetModel(&cabinetModel);
    windowController.setOverviewModel(&overviewModel);
    // The overview marks where an alarm's condition holds.
    connect(&alarms, &AlarmKeeper::markChanged, &overviewModel, [this](const QString &host, int rotor, bool active) {
        for (Cabinet *cabinet : qAsConst(cabinetList)) {
            if (cabinet->host() == host)
                overviewModel.setMarked(cabinet, rotor, active);
        }
    });
    windowController.setShutdownSequence(&shutdown);
    wireStopAll();
    connect(&shutdown, SIGNAL(stopUnconfirmed(Cabinet*,int,QString)),
            &recorder, SLOT(closeStopUnconfirmed(Cabinet*,int,QString)));
    new HistoryMenus(&history, hosts, windowController.mainWindow());
    connect(&session, &SessionKeeper::recoveryChosen, &recorder,
            [this](Recovery::Choice choice, const QStringList &rotors) {
        static const char *const labels[] = {
            QT_TR_NOOP("Resume loops"), QT_TR_NOOP("Stop these rotors"), QT_TR_NOOP("Leave as they are")};
        recorder.recoveryChosen(tr(labels[choice]), rotors);
    });
    connect(&shutdown, &ShutdownSequence::willStop, &session, &SessionKeeper::endingBegins);
    // The settings keep how the last run ended; the history only writes it down.
    connect(&session, &SessionKeeper::lastRunDied, &recorder, &HistoryRecorder::lastRunDied);
    alarms.showIn(windowController.mainWindow());
    alarms.watchEnd(&shutdown);
    session.start(cabinetList, &windowController);
    alarms.useSettings(session.settings());

    connect(&signalWatcher, SIGNAL(signalled(int)), this, SLOT(signalled(int)));
    connect(&shutdown, SIGNAL(finished()), this, SLOT(endedBySignal()));
    // The desktop session ends, or the event loop is told to end some other way:
    // the pumps are seen to first, without a dialog.
    if (auto *guiApp = qobject_cast<QGuiApplication *>(QCoreApplication::instance())) {
        connect(guiApp, &QGuiApplication::commitDataRequest, this, &AppController::finishBeforeExit);
        connect(guiApp, &QCoreApplication::aboutToQuit, this, &AppController::finishBeforeExit);
    }
}

// Stop all pumps and Stop this cabinet: in the window, and each result in the history.
void AppController::wireStopAll()
{
    windowController.setStopAll(&stopAll);
    alarms.watchStopAll(&stopAll);
    connect(&stopAll, &StopAll::runFinished, &recorder, [this](StopRun *run) {
        recorder.stopsSettled(run->cause(), run->summary());
    });
}

AppController::~AppController()
{
    alarms.finish();
    if (exitStatus() != 0)
        session.endWithUnconfirmedStops();
}

int AppController::exitStatus() const
{
    return shutdown.isStarted() && !shutdown.allConfirmed() ? 1 : 0;
}

void AppController::signalled(int)
{
    if (endingBySignal) {
        // A second signal: the operator will not wait. Say what is not known.
        printUnconfirmed();
        std::fflush(stderr);
        std::_Exit(1);
    }
    endingBySignal = true;
    if (!shutdown.isStarted()) {
        shutdown.start();
        windowController.showEnding();
    }
    if (shutdown.isFinished())
        endedBySignal();
}

void AppController::endedBySignal()
{
    if (!endingBySignal)
        return;
    printUnconfirmed();
    emit ended(exitStatus());
    QCoreApplication::exit(exitStatus());
}

void AppController::finishBeforeExit()
{
    if (shutdown.isStarted() && shutdown.isFinished())
        return;
    if (!shutdown.isStarted()) {
        shutdown.start();
        windowController.showEnding();
    }
    if (!shutdown.isFinished()) {
        QEventLoop loop;
        connect(&shutdown, SIGNAL(finished()), &loop, SLOT(quit()));
        loop.exec();
    }
    if (!endingBySignal)
        printUnconfirmed();
}

void AppController::printUnconfirmed() const
{
    const QString line = shutdown.unconfirmedLine();
    if (!line.isEmpty())
        std::fprintf(stderr, "%s\n", qPrintable(line));
}
