#pragma once

#include "inspector/InspectableDevice.h"
#include "inspector/PageKey.h"

#include <QObject>
#include <QPointer>
#include <QString>

#include <optional>

class ConsoleHub;

// What the window does with the store: highlights the page under the pointer on its device, copies
// a remote object to the clipboard, and finds the device a simulator window belongs to.
//
// Main thread only. The hub is not kept alive; without it every action does nothing.
class ConsoleActions : public QObject {
    Q_OBJECT

public:
    explicit ConsoleActions(ConsoleHub* hub, QObject* parent = nullptr);

    // The page being highlighted, at most one at a time; forgotten when its device goes.
    std::optional<PageKey> indicated() const { return m_indicated; }
    void hover(const PageKey& page, bool isHovering);

    // Puts a remote object on the clipboard as JSON or as a JavaScript literal, once the page has
    // produced it. Nothing happens without a connection or a GUI application.
    void copy(const QString& objectID, const PageKey& page, bool asJSON);

    // The device of a window: a simulator's own title ("name — runtime") first, then a device of
    // exactly that name, then the first simulator whose name begins the title.
    std::optional<InspectableDevice> device(const QString& windowTitle) const;

signals:
    void indicatedChanged();

private:
    void indicate(const PageKey& page, bool enabled);

    QPointer<ConsoleHub> m_hub;
    std::optional<PageKey> m_indicated;
};
