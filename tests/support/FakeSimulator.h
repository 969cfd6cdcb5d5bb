#pragma once

#include "support/FakeInspectorDaemon.h"
#include "support/FakeInspectorService.h"

#include <memory>

// A booted simulator's Web Inspector service in a test: the scripted daemon served on a real unix
// socket. Every client that connects talks to the same applications and pages; each client is one
// peer of the daemon, and its sessions end when its stream does.
class FakeSimulator : public FakeInspectorDaemon {
public:
    // An empty path picks a fresh one in a temporary folder.
    explicit FakeSimulator(QString socketPath = {})
        : m_service(std::make_unique<FakeInspectorService>(std::move(socketPath))) {
        setOutlet(
            [service = m_service.get()](int peer, const QString& selector, const QVariantMap& argument) {
                service->send(selector, argument, peer);
            });
        m_service->setHandler([this](int client, const FakeInspectorService::Frame* frame) {
            if (frame)
                receive(client, frame->selector, frame->argument);
            else
                peerGone(client);
        });
    }
    // The service thread calls into the daemon: it ends before the daemon does.
    ~FakeSimulator() override { stop(); }

    bool start() { return m_service->start(); }
    void stop() { m_service->stop(); }
    const QString& socketPath() const { return m_service->path(); }

    // The channel underneath: every frame received, raw writes, hanging up on a client.
    FakeInspectorService& service() const { return *m_service; }

private:
    std::unique_ptr<FakeInspectorService> m_service;
};
