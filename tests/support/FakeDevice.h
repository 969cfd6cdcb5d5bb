#pragma once

#include "support/FakeInspectorDaemon.h"
#include "support/FakeUsbmuxd.h"
#include "support/PairingCertificates.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>

// A USB device in a test: lockdown on its usual port, and the Web Inspector service that lockdown
// starts, serving the scripted inspector daemon (each service connection is one peer of it). Plug
// it into a FakeUsbmuxd.
//
// Switches for what goes wrong with real devices: a device that does not trust the host (locked,
// or the trust dialog not answered), Web Inspector turned off, a version it will not tell, and a
// service without TLS.
class FakeDevice : public FakeInspectorDaemon, public FakeUsbmuxd::Target {
public:
    static constexpr std::uint16_t kLockdownPort = 62078;
    static constexpr const char* kInspectorService = "com.apple.webinspector";

    // The device's own certificate comes from the pairing; the host of that pairing is trusted.
    FakeDevice(QString udid, QString name, PairingCertificates pairing);
    ~FakeDevice() override;

    const QString& udid() const { return m_udid; }
    const PairingCertificates& pairing() const { return m_pairing; }

    void setName(const QString& name);
    void setProductVersion(std::optional<QString> version); // nothing: GetValue answers MissingValue
    void setTrusted(bool trusted);
    void setWebInspectorEnabled(bool enabled);
    void setServiceTls(bool on);

    // Lockdown, as the fake's lockdown connections see it.
    std::optional<QVariant> value(const QString& key) const;
    // The root certificate of a trusted host, by the HostID of its pair record.
    std::optional<QByteArray> trustedRoot(const QString& hostID) const;
    // Opens a one-time port for a service; nothing when the service is not available.
    std::optional<std::uint16_t> startService(const QString& name, bool* tls);
    void noteRequest(const QString& request);
    QStringList lockdownRequests() const;
    int sessionsStarted() const;

    // The inspector service's connections: peers of the daemon.
    int serviceConnections() const; // open now
    int servicePeer() const;        // the newest open one, or -1
    qint64 framesReceived() const;  // from every service connection so far
    bool sendRaw(const QByteArray& bytes, int peer = -1);
    void hangUp(int peer = -1);

    bool accepts(std::uint16_t port) override;
    void serve(std::uint16_t port, int fd) override;

private:
    struct Peer;
    void serveInspector(int fd, bool tls);
    void enqueue(int peer, const QByteArray& bytes);

    const QString m_udid;
    const PairingCertificates m_pairing;

    mutable std::mutex m_stateLock;
    QString m_name;
    std::optional<QString> m_version = QStringLiteral("17.5");
    bool m_trusted = true;
    bool m_inspectorEnabled = true;
    bool m_serviceTls = true;
    std::map<std::uint16_t, bool> m_servicePorts; // open port → TLS
    std::uint16_t m_nextPort = 49152;
    QStringList m_requests;
    int m_sessions = 0;
    std::map<int, std::shared_ptr<Peer>> m_peers;
    int m_nextPeer = 1;
    qint64 m_frames = 0;
};
