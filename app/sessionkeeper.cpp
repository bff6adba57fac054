#include "sessionkeeper.h"

#include "cabinet.h"
#include "mainwindow.h"
#include "mainwindowcontroller.h"
#include "recoverydialog.h"
#include "rotorhead.h"

#include <QCoreApplication>
#include <QLabel>
#include <QStatusBar>

SessionKeeper::SessionKeeper(QObject *parent)
    : QObject(parent)
{
    recordTimer.setInterval(RecordMs);
    connect(&recordTimer, &QTimer::timeout, this, &SessionKeeper::record);
    aliveTimer.setInterval(AliveMs);
    connect(&aliveTimer, &QTimer::timeout, &store, &SettingsStore::markAlive);
    connect(&recovery, &Recovery::ready, this, &SessionKeeper::showRecovery);
    connect(&recovery, &Recovery::choiceMade, this, &SessionKeeper::recoveryChosen);
    connect(&recovery, &Recovery::finished, this, [this] {
        record();
        recordTimer.start();
    });
}

SessionKeeper::~SessionKeeper()
{
    // Closed before the operator chose: the next start asks again. What was recorded
    // while the loops ran stays, for a recovery, when a stop could not be confirmed.
    if ((!recordTimer.isActive() && !ending) || unconfirmedEnd) {
        store.markEndWithLoopsLeft();
        return;
    }
    record();
    // The close stops every loop. An end that left one going (the session ending
    // under the program, say) leaves its rotors to the next start, as a crash does.
    for (const Cabinet *cabinet : qAsConst(cabinets)) {
        for (int i = 0; const RotorHead *rotor = cabinet->rotor(i); ++i) {
            if (rotor->isLoopRunning()) {
                store.markEndWithLoopsLeft();
                return;
            }
        }
    }
    store.markCleanEnd();
}

void SessionKeeper::endWithUnconfirmedStops()
{
    unconfirmedEnd = true;
}

void SessionKeeper::endingBegins()
{
    if (!recordTimer.isActive())
        return;
    record();
    recordTimer.stop();
    ending = true;
}

void SessionKeeper::start(const QList<Cabinet *> &cabinets, MainWindowController *windowController)
{
    this->cabinets = cabinets;
    this->windowController = windowController;
    QStringList hosts;
    int rotorsPerCabinet = 0;
    for (const Cabinet *cabinet : cabinets) {
        hosts << cabinet->host();
        while (cabinet->rotor(rotorsPerCabinet))
            ++rotorsPerCabinet;
    }
    store.load(hosts, rotorsPerCabinet);
    if (store.lastRunEnd() == SettingsStore::RunEnd::Died)
        emit lastRunDied(store.lastSeenAlive());
    restore();

    QStatusBar *statusBar = windowController->mainWindow()->statusBar();
    cannotSaveLbl = new QLabel(tr("Settings cannot be saved"), statusBar);
    cannotSaveLbl->setObjectName(QStringLiteral("cannotSaveLbl"));
    statusBar->insertPermanentWidget(0, cannotSaveLbl);
    cannotSaveLbl->hide();
    connect(&store, &SettingsStore::saveFailed, cannotSaveLbl, &QWidget::show);

    recovery.collect(store, cabinets);
    store.markRunning();
    aliveTimer.start();
    if (recovery.isNeeded()) {
        statusBar->showMessage(tr("%1 ended unexpectedly: reading the rotors that were looping")
                               .arg(QCoreApplication::applicationName()));
        recovery.readRotors();
        return;
    }
    record();
    recordTimer.start();
}

// Remembered loop settings start nothing: a loop runs again with Start, or the
// operator's choice after a run that died.
void SessionKeeper::restore()
{
    for (Cabinet *cabinet : qAsConst(cabinets)) {
        for (int i = 0; RotorHead *rotor = cabinet->rotor(i); ++i) {
            const SettingsStore::Loop loop = store.loop(cabinet->host(), i);
            rotor->restoreLoopSettings(loop.on, loop.runSecs, loop.pauseSecs);
        }
    }
    MainWindow *window = windowController->mainWindow();
    const QByteArray geometry = store.windowGeometry();
    if (!geometry.isEmpty() && !window->restoreGeometry(geometry))
        store.rejectWindowGeometry();
    const QString displayed = store.displayedCabinet();
    if (!displayed.isEmpty())
        windowController->showCabinet(displayed);
}

void SessionKeeper::showRecovery()
{
    MainWindow *window = windowController->mainWindow();
    window->statusBar()->clearMessage();
    auto *dialog = new RecoveryDialog(&recovery, window);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->open();
}

void SessionKeeper::record()
{
    for (Cabinet *cabinet : qAsConst(cabinets)) {
        const QString host = cabinet->host();
        for (int i = 0; RotorHead *rotor = cabinet->rotor(i); ++i) {
            store.setLoop(host, i, {rotor->loopModeEnabled(), rotor->loopRunSecs(),
                                    rotor->loopPauseSecs(), rotor->isLoopRunning()});
        }
    }
    store.setWindowGeometry(windowController->mainWindow()->saveGeometry());
    if (const Cabinet *shown = windowController->displayedCabinet())
        store.setDisplayedCabinet(shown->host());
}
