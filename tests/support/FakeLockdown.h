#pragma once

#include <QVariantMap>

#include <optional>

class FakeDevice;
class FakeDeviceStream;

// One connection to a fake device's lockdown service: 4-byte big-endian lengths and XML property
// lists, requests answered the way devices answer them (QueryType, GetValue, ValidatePair, Pair,
// StartSession with its switch to TLS, StopSession, StartService, Goodbye).
class FakeLockdown {
public:
    FakeLockdown(FakeDevice& device, FakeDeviceStream& stream);
    // Serves requests until the host hangs up or a handshake fails.
    void run();

private:
    bool answer(const QVariantMap& message);
    bool answerError(const QString& request, const QString& error);

    FakeDevice& m_device;
    FakeDeviceStream& m_stream;
    std::optional<QString> m_session;
    QString m_hostID;
};
