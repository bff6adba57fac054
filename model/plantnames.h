#pragma once

#include <QCoreApplication>
#include <QString>

// How the program names the plant's parts and people to a person: the panels, the
// history, the end's warning, the recovery and the overview all say it this way.
class PlantNames final
{
    Q_DECLARE_TR_FUNCTIONS(PlantNames)

public:
    // "Rotor 1" to "Rotor 4", as each panel is titled; the index counts from 0.
    static QString rotor(int index);
    // "10.0.85.15, rotor 2"; an empty host stands for a cabinet that is gone.
    static QString rotorAt(const QString &host, int index);
    // The operating-system user at the workstation: the history's rows, the lock's
    // holder and an acknowledgement name them so.
    static QString currentUser();
};
