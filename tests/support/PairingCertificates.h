#pragma once

#include <QByteArray>
#include <QString>

// The certificates of one host–device pairing, made fresh at test time: a self-signed root, a
// host certificate and a device certificate both issued by it, with their RSA keys, in PEM. The
// pair record that usbmuxd keeps for the host holds all of them plus the host's identity.
struct PairingCertificates {
    QByteArray rootCertificate;
    QByteArray rootKey;
    QByteArray hostCertificate;
    QByteArray hostKey;
    QByteArray deviceCertificate;
    QByteArray deviceKey;
    QString hostID;
    QString systemBUID;

    // New keys and certificates each call (a few hundred milliseconds of key generation).
    static PairingCertificates generate();

    // The record as usbmuxd stores it: an XML property list.
    QByteArray pairRecord() const;
};
