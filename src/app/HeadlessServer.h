#pragma once

#include <QStringList>

#include <optional>

// `tavolin --serve [--port N]`: the hub, the agent endpoint and the count broadcast without any
// window, for agents on machines without a desktop session. Writes no preference.
namespace HeadlessServer {

struct Options {
    std::optional<quint16> port;
};

// The options after "--serve", or an error text for the user.
std::optional<Options> parse(const QStringList& arguments, QString* error);

// Runs until SIGINT or SIGTERM; 0 then, 1 when the endpoint cannot listen.
int run(const Options& options);

} // namespace HeadlessServer
