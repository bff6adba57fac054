#include "appcontroller.h"

#include "cabinet.h"

namespace {
constexpr int FirstHost = 10;
constexpr int LastHost = 22;
constexpr int RotorsPerCabinet = 4;
}

// Members go in reverse order: window, model, roster; then the QObject base
// deletes the cabinets, each ending its worker thread.
AppController::AppController()
    : hostPrefix("10.0.85.")
    , cabinetModel(&cabinetList, this)
    , windowController(this)
    , session(this)
{
    for (int host = FirstHost; host <= LastHost; ++host) {
        auto *cabinet = new Cabinet(QLatin1String(hostPrefix) + QString::number(host),
                                    RotorsPerCabinet, this);
        cabinetList.appendCabinet(cabinet);
    }
    // The model announces no rows as they come, so the view gets it complete.
    windowController.setCabinetModel(&cabinetModel);
    session.start(cabinetList, &windowController);
}
