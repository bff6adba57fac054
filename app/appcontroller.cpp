#include "appcontroller.h"

#include "cabinet.h"
#include "historypanel.h"

namespace {
constexpr int FirstHost = 10;
constexpr int LastHost = 22;
constexpr int RotorsPerCabinet = 4;
}

// Members go in reverse order: window, model, roster, the recorder (the end row),
// the history (written out); then the QObject base deletes the cabinets, each
// ending its worker thread.
AppController::AppController()
    : hostPrefix("10.0.85.")
    , recorder(&history)
    , cabinetModel(&cabinetList, this)
    , windowController(this)
{
    QStringList hosts;
    for (int host = FirstHost; host <= LastHost; ++host) {
        auto *cabinet = new Cabinet(QLatin1String(hostPrefix) + QString::number(host),
                                    RotorsPerCabinet, this);
        cabinetList.appendCabinet(cabinet);
        recorder.watch(cabinet);
        hosts << cabinet->host();
    }
    // The model announces no rows as they come, so the view gets it complete.
    windowController.setCabinetModel(&cabinetModel);
    connect(&windowController, SIGNAL(stopUnconfirmed(Cabinet*,int,QString)),
            &recorder, SLOT(closeStopUnconfirmed(Cabinet*,int,QString)));
    new HistoryPanel(&history, hosts, windowController.mainWindow());
}
