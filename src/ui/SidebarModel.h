#pragma once

#include "inspector/AppKey.h"
#include "ui/SidebarRow.h"

#include <QAbstractListModel>
#include <QHash>
#include <QList>
#include <QPointer>
#include <QSet>

class ConsoleHub;

// The sidebar's rows, built from the hub's devices, applications and pages, with the collapsed
// devices and applications left out. Main thread.
class SidebarModel : public QAbstractListModel {
    Q_OBJECT

public:
    explicit SidebarModel(ConsoleHub* hub, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    // The row at a valid index's row.
    const SidebarRow& row(int row) const { return m_rows.at(row); }
    // The row that selects the scope; -1 when it has none.
    int rowOf(const ConsoleScope& scope) const;

    // Builds the rows again. The same rows coming back only change their data; other rows reset
    // the model.
    void rebuild();
    // Reads every row's count again and tells the view about the rows whose count changed.
    void refreshCounts();
    // Shows or hides the applications of a device row, the pages of an application row.
    void toggle(int row);

private:
    QList<SidebarRow> build();
    QImage roundedIcon(const QByteArray& data);

    QPointer<ConsoleHub> m_hub;
    QList<SidebarRow> m_rows;
    QSet<QString> m_collapsedDevices;
    QSet<AppKey> m_collapsedApps;
    QHash<size_t, QImage> m_icons; // by a hash of the icon data: decoded once
};
