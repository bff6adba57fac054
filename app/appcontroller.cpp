#include "appcontroller.h"

#include "cabinet.h"
#include "installation.h"

// Members go in reverse order: window, model, roster; then the QObject base
// deletes the cabinets, each ending its worker thread.
AppController::AppController()
    : hostPrefix(Installation::HostPrefix)
    , cabinetModel(&cabinetList, this)
    , windowController(this)
{
    for (int host = Installation::FirstHost; host <= Installation::LastHost; ++host) {
        auto *cabinet = new Cabinet(QLatin1String(hostPrefix) + QString::number(host),
                                    Installation::RotorsPerCabinet, this);
        cabinetList.appendCabinet(cabinet);
    }
    // The model announces no rows as they come, so the view gets it complete.
    windowController.setCabinetModel(&cabinetModel);
}
