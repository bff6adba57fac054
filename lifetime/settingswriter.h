#pragma once

#include <QHash>
#include <QObject>
#include <QString>
#include <QVariant>

#include <memory>

QT_BEGIN_NAMESPACE
class QSettings;
class QTimer;
QT_END_NAMESPACE

// Writes the settings file on a thread of its own, so that a slow or full disk
// never holds up the window. A burst of changes becomes one rewrite of the file.
class SettingsWriter final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SettingsWriter)

public:
    explicit SettingsWriter(const QString &fileName);
    ~SettingsWriter() override;

public slots:
    // An invalid value removes the key.
    void write(const QVariantHash &changes);
    void flush();

signals:
    void reported(bool saved);

private:
    QString fileName;
    std::unique_ptr<QSettings> settings; // made on the writer's thread, at the first write
    QTimer *syncTimer;
};
