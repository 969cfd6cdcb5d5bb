#include "ui/ConsoleActions.h"

#include "base/Logging.h"
#include "console/ConsoleHub.h"
#include "inspector/WebInspectorConnection.h"

#include <QClipboard>
#include <QGuiApplication>

ConsoleActions::ConsoleActions(ConsoleHub* hub, QObject* parent) : QObject(parent), m_hub(hub) {
    if (!hub)
        return;
    connect(hub, &ConsoleHub::deviceDropped, this, [this](const QString& deviceID) {
        if (m_indicated && m_indicated->deviceID == deviceID) {
            m_indicated.reset();
            emit indicatedChanged();
        }
    });
}

void ConsoleActions::indicate(const PageKey& page, bool enabled) {
    if (WebInspectorConnection* link = m_hub ? m_hub->connection(page.deviceID) : nullptr)
        link->indicate(page, enabled);
}

void ConsoleActions::hover(const PageKey& page, bool isHovering) {
    if (!isHovering) {
        if (m_indicated != page)
            return;
        m_indicated.reset();
        emit indicatedChanged();
        indicate(page, false);
        return;
    }
    if (m_indicated == page)
        return;
    if (m_indicated)
        indicate(*m_indicated, false);
    m_indicated = page;
    emit indicatedChanged();
    indicate(page, true);
}

void ConsoleActions::copy(const QString& objectID, const PageKey& page, bool asJSON) {
    WebInspectorConnection* link = m_hub ? m_hub->connection(page.deviceID) : nullptr;
    if (!link)
        return;
    link->serialize(objectID, page, asJSON, [objectID](std::optional<QString> text) {
        if (!text) {
            qCWarning(lcUi) << "nothing to copy: the page cannot serialize" << objectID;
            return;
        }
        if (!qobject_cast<QGuiApplication*>(QCoreApplication::instance()))
            return;
        QClipboard* clipboard = QGuiApplication::clipboard();
        clipboard->clear();
        clipboard->setText(*text);
    });
}

std::optional<InspectableDevice> ConsoleActions::device(const QString& windowTitle) const {
    if (!m_hub)
        return std::nullopt;
    const QList<InspectableDevice> devices = m_hub->devices();
    const auto simulator = [](const InspectableDevice& d) {
        return d.kind == InspectableDevice::Kind::simulator;
    };
    for (const InspectableDevice& d : devices)
        if (simulator(d) && d.name + QStringLiteral(" \u2014 ") + d.runtime == windowTitle)
            return d;
    for (const InspectableDevice& d : devices)
        if (d.name == windowTitle)
            return d;
    for (const InspectableDevice& d : devices)
        if (simulator(d) && windowTitle.startsWith(d.name))
            return d;
    return std::nullopt;
}
