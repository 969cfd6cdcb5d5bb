#include "wire/WIRError.h"

QString WIRError::userText() const {
    switch (m_kind) {
    case Kind::deviceUnavailable:
        return QStringLiteral("Device is not reachable");
    case Kind::pairingRequired:
        return QStringLiteral("Not paired. Unlock the device and trust this Mac.");
    case Kind::inspectorDisabled:
        return QStringLiteral("Turn on Settings \u203A Apps \u203A Safari \u203A Advanced \u203A Web "
                              "Inspector, and unlock the device");
    case Kind::socket:
    case Kind::pathTooLong:
        break;
    }
    return QStringLiteral("Could not connect");
}
