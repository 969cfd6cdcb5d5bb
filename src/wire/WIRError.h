#pragma once

#include <QString>

// Why opening an inspector link failed. Every later problem on a link is handled quietly; only
// opening fails visibly, and the user sees userText().
class WIRError {
public:
    enum class Kind { socket, pathTooLong, deviceUnavailable, pairingRequired, inspectorDisabled };

    static WIRError socket(int errnoValue) { return WIRError(Kind::socket, errnoValue); }
    static WIRError pathTooLong() { return WIRError(Kind::pathTooLong); }
    static WIRError deviceUnavailable() { return WIRError(Kind::deviceUnavailable); }
    static WIRError pairingRequired() { return WIRError(Kind::pairingRequired); }
    static WIRError inspectorDisabled() { return WIRError(Kind::inspectorDisabled); }

    Kind kind() const { return m_kind; }
    // The errno of a failed socket() or connect(); 0 for the other kinds.
    int errnoValue() const { return m_errno; }

    // The text shown to the user for a device whose link could not be opened.
    QString userText() const;

    friend bool operator==(const WIRError&, const WIRError&) = default;

private:
    explicit WIRError(Kind kind, int errnoValue = 0) : m_kind(kind), m_errno(errnoValue) {}

    Kind m_kind;
    int m_errno;
};
