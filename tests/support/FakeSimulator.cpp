#include "support/FakeSimulator.h"

FakeSimulator::FakeSimulator(QString socketPath)
    : m_service(std::make_unique<FakeInspectorService>(std::move(socketPath))) {
    FakeInspectorService* service = m_service.get();
    setOutlet([service](int peer, const QString& selector, const QVariantMap& argument) {
        service->send(selector, argument, peer);
    });
    m_service->setHandlers(
        [this](FakeInspectorService&, int client, const FakeInspectorService::Frame& frame) {
            receive(client, frame.selector, frame.argument);
        },
        [this](FakeInspectorService&, int client) { peerGone(client); });
}

FakeSimulator::~FakeSimulator() {
    // The service thread calls into the daemon: it ends before the daemon does.
    stop();
}

bool FakeSimulator::start() {
    return m_service->start();
}

void FakeSimulator::stop() {
    m_service->stop();
}
