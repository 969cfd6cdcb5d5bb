#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

// Whether simulator windows carry the unseen-count badge and where on the window it sits. The values
// live in the preferences; a change is stored at once and announced to everyone listening (the
// settings of every window, the badges). Main thread only.
class BadgeSettings : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool isEnabled READ isEnabled WRITE setEnabled NOTIFY changed)
    Q_PROPERTY(QString placement READ placement WRITE setPlacement NOTIFY changed)

public:
    using QObject::QObject;

    // The process-wide instance, created on first use.
    static BadgeSettings& shared();

    // The placements in the order they are offered: "left", "toolbar", "right".
    static QStringList placements();

    bool isEnabled() const;
    void setEnabled(bool enabled);
    QString placement() const;
    // Unknown placements are ignored.
    void setPlacement(const QString& placement);

signals:
    void changed();
};
