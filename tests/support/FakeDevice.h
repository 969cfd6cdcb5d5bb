#pragma once

#include "support/FakeSimulator.h"
#include "support/FakeUsbmuxd.h"
#include "support/PairingCertificates.h"

#include <QStringList>

#include <map>

class QSslSocket;

// A USB device in a test: lockdown on its usual port, and the Web Inspector service that lockdown
// starts, serving the scripted inspector daemon (each service connection is one peer of it, a
// client of the simulator's service behind TLS). Plug it into a FakeUsbmuxd.
//
// Switches for what goes wrong with real devices: a device that does not trust the host (locked,
// or the trust dialog not answered), Web Inspector turned off, a version it will not tell, and a
// service without TLS.
class FakeDevice : public FakeSimulator, public FakeUsbmuxd::Target {
public:
    static constexpr std::uint16_t kLockdownPort = 62078;
    static constexpr const char* kInspectorService = "com.apple.webinspector";

    // The device's own certificate comes from the pairing; the host of that pairing is trusted.
    FakeDevice(QString udid, QString name, PairingCertificates pairing);
    ~FakeDevice() override;

    const QString& udid() const { return m_udid; }
    const PairingCertificates& pairing() const { return m_pairing; }

    void setName(const QString& name) { set(m_name, name); }
    // Nothing: GetValue answers MissingValue.
    void setProductVersion(std::optional<QString> version) { set(m_version, std::move(version)); }
    void setTrusted(bool trusted) { set(m_trusted, trusted); }
    void setWebInspectorEnabled(bool enabled) { set(m_inspectorEnabled, enabled); }
    void setServiceTls(bool on) { set(m_serviceTls, on); }

    // The request type of every lockdown message so far, and how many sessions were started.
    QStringList lockdownRequests() const;
    int sessionsStarted() const { return int(lockdownRequests().count(QStringLiteral("StartSession"))); }

    // The inspector service's connections: peers of the daemon.
    int serviceConnections() const { return service().clientCount(); } // open now
    int servicePeer() const { return service().currentClient(); }      // the newest open one, or -1
    qint64 framesReceived() const { return qint64(service().received().size()); }
    bool sendRaw(const QByteArray& bytes, int peer = -1) { return service().sendRaw(bytes, peer); }

    bool accepts(std::uint16_t port) override;
    void serve(std::uint16_t port, int fd) override;

private:
    template <typename T> void set(T& field, T value) {
        std::lock_guard lock(m_stateLock);
        field = std::move(value);
    }
    void serveLockdown(QSslSocket& socket);

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
};
