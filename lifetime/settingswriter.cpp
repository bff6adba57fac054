#include "settingswriter.h"

#include <QSettings>
#include <QTimer>

namespace {
// Long enough to gather what one look at the program changed.
constexpr int GatherMs = 50;
}

SettingsWriter::SettingsWriter(const QString &fileName)
    : fileName(fileName)
    , syncTimer(new QTimer(this))
{
    syncTimer->setSingleShot(true);
    syncTimer->setInterval(GatherMs);
    connect(syncTimer, &QTimer::timeout, this, &SettingsWriter::flush);
}

SettingsWriter::~SettingsWriter() = default;

void SettingsWriter::write(const QVariantHash &changes)
{
    if (!settings)
        settings = std::make_unique<QSettings>(fileName, QSettings::IniFormat);
    for (auto it = changes.cbegin(); it != changes.cend(); ++it) {
        if (it->isValid())
            settings->setValue(it.key(), *it);
        else
            settings->remove(it.key());
    }
    if (!syncTimer->isActive())
        syncTimer->start();
}

void SettingsWriter::flush()
{
    syncTimer->stop();
    if (!settings)
        return;
    settings->sync();
    // A file that did not parse keeps its FormatError, yet is rewritten whole; only
    // a failed write counts.
    emit reported(settings->status() != QSettings::AccessError && settings->isWritable());
}
