// A console reader written the usual way, with none of tavolin's code: the yardstick the end-to-end
// benchmark compares the program with.
//
//   console_client <inspector socket> <application id> <page id>
//
// It connects to the inspector socket, opens a session on the page, enables its console and then,
// on one thread, does for every frame what any console reader has to: the frame decoded by libplist,
// the service's wrapper and the message inside it parsed with Qt's JSON, the message's level, text,
// address and line kept among the newest 2,000. Each line read on standard input is answered with
// the number of console messages kept so far and the CPU seconds the process has used.
#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>
#include <QUuid>

#include <plist/plist.h>

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <iostream>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace {

struct Message {
    QString level;
    QString text;
    QString url;
    int line = 0;
};

bool readAll(int fd, char* data, size_t size) {
    while (size > 0) {
        const ssize_t got = ::read(fd, data, size);
        if (got <= 0)
            return false;
        data += got;
        size -= size_t(got);
    }
    return true;
}

bool writeAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t put = ::write(fd, data, size);
        if (put <= 0)
            return false;
        data += put;
        size -= size_t(put);
    }
    return true;
}

// Sends {"__selector": selector, "__argument": argument} as a binary property list behind its
// length; takes the argument.
bool send(int fd, const char* selector, plist_t argument) {
    plist_t root = plist_new_dict();
    plist_dict_set_item(root, "__selector", plist_new_string(selector));
    plist_dict_set_item(root, "__argument", argument);
    char* body = nullptr;
    uint32_t length = 0;
    plist_to_bin(root, &body, &length);
    plist_free(root);
    const uint32_t header = htonl(length);
    const bool sent = writeAll(fd, reinterpret_cast<const char*>(&header), 4) && writeAll(fd, body, length);
    plist_to_bin_free(body);
    return sent;
}

plist_t sessionArgument(const std::string& connection, const std::string& application, uint64_t page,
                        const std::string& sender) {
    plist_t argument = plist_new_dict();
    plist_dict_set_item(argument, "WIRConnectionIdentifierKey", plist_new_string(connection.c_str()));
    plist_dict_set_item(argument, "WIRApplicationIdentifierKey", plist_new_string(application.c_str()));
    plist_dict_set_item(argument, "WIRPageIdentifierKey", plist_new_uint(page));
    plist_dict_set_item(argument, "WIRSenderKey", plist_new_string(sender.c_str()));
    return argument;
}

std::string newIdentifier() {
    return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper().toStdString();
}

// The console message inside one "_rpc_applicationSentData:" frame, if it carries one.
bool consoleMessage(plist_t root, Message& message) {
    plist_t selector = plist_dict_get_item(root, "__selector");
    if (!selector || plist_get_node_type(selector) != PLIST_STRING)
        return false;
    char* name = nullptr;
    plist_get_string_val(selector, &name);
    const bool sentData = name && std::strcmp(name, "_rpc_applicationSentData:") == 0;
    std::free(name);
    if (!sentData)
        return false;
    plist_t argument = plist_dict_get_item(root, "__argument");
    plist_t data = argument ? plist_dict_get_item(argument, "WIRMessageDataKey") : nullptr;
    if (!data || plist_get_node_type(data) != PLIST_DATA)
        return false;
    uint64_t size = 0;
    const char* bytes = plist_get_data_ptr(data, &size);
    QJsonObject event = QJsonDocument::fromJson(QByteArray(bytes, qsizetype(size))).object();
    if (event.value(QLatin1String("method")).toString() == QLatin1String("Target.dispatchMessageFromTarget"))
        event = QJsonDocument::fromJson(event.value(QLatin1String("params"))
                                            .toObject()
                                            .value(QLatin1String("message"))
                                            .toString()
                                            .toUtf8())
                    .object();
    if (event.value(QLatin1String("method")).toString() != QLatin1String("Console.messageAdded"))
        return false;
    const QJsonObject fields =
        event.value(QLatin1String("params")).toObject().value(QLatin1String("message")).toObject();
    message.level = fields.value(QLatin1String("level")).toString();
    message.text = fields.value(QLatin1String("text")).toString();
    message.url = fields.value(QLatin1String("url")).toString();
    message.line = fields.value(QLatin1String("line")).toInt();
    return true;
}

} // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    if (argc != 4) {
        std::fprintf(stderr, "usage: console_client <inspector socket> <application id> <page id>\n");
        return 2;
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (fd < 0 || std::strlen(argv[1]) >= sizeof address.sun_path) {
        std::fprintf(stderr, "console_client: no socket for %s\n", argv[1]);
        return 1;
    }
    std::strcpy(address.sun_path, argv[1]);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        std::fprintf(stderr, "console_client: cannot connect to %s: %s\n", argv[1], std::strerror(errno));
        return 1;
    }

    const std::string connection = newIdentifier();
    const std::string sender = newIdentifier();
    const uint64_t page = std::strtoull(argv[3], nullptr, 10);
    plist_t identify = plist_new_dict();
    plist_dict_set_item(identify, "WIRConnectionIdentifierKey", plist_new_string(connection.c_str()));
    plist_t enable = sessionArgument(connection, argv[2], page, sender);
    const char command[] = R"({"id":1,"method":"Console.enable"})";
    plist_dict_set_item(enable, "WIRSocketDataKey", plist_new_data(command, sizeof command - 1));
    if (!send(fd, "_rpc_reportIdentifier:", identify) ||
        !send(fd, "_rpc_forwardSocketSetup:", sessionArgument(connection, argv[2], page, sender)) ||
        !send(fd, "_rpc_forwardSocketData:", enable)) {
        std::fprintf(stderr, "console_client: the inspector closed the connection\n");
        return 1;
    }

    std::atomic<long long> kept{0};
    std::thread reader([fd, &kept] {
        std::deque<Message> newest;
        std::string body;
        for (;;) {
            uint32_t header = 0;
            if (!readAll(fd, reinterpret_cast<char*>(&header), 4))
                return;
            body.resize(ntohl(header));
            if (!readAll(fd, body.data(), body.size()))
                return;
            plist_t root = nullptr;
            plist_from_bin(body.data(), uint32_t(body.size()), &root);
            if (!root)
                continue;
            Message message;
            if (consoleMessage(root, message)) {
                newest.push_back(std::move(message));
                if (newest.size() > 2000)
                    newest.pop_front();
                kept.fetch_add(1, std::memory_order_relaxed);
            }
            plist_free(root);
        }
    });

    std::string line;
    while (std::getline(std::cin, line)) {
        timespec cpu{};
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu);
        std::printf("%lld %.6f\n", kept.load(std::memory_order_relaxed),
                    double(cpu.tv_sec) + cpu.tv_nsec / 1e9);
        std::fflush(stdout);
    }
    ::shutdown(fd, SHUT_RDWR);
    reader.join();
    ::close(fd);
    return 0;
}
