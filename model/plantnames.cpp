#include "plantnames.h"

#include <pwd.h>
#include <unistd.h>

QString PlantNames::rotor(int index)
{
    return tr("Rotor %1").arg(index + 1);
}

QString PlantNames::rotorAt(const QString &host, int index)
{
    return tr("%1, rotor %2").arg(host.isEmpty() ? tr("a cabinet") : host).arg(index + 1);
}

QString PlantNames::currentUser()
{
    if (const passwd *entry = ::getpwuid(::geteuid()))
        return QString::fromLocal8Bit(entry->pw_name);
    const QString fromEnvironment = qEnvironmentVariable("USER");
    return fromEnvironment.isEmpty() ? QString::number(::geteuid()) : fromEnvironment;
}
