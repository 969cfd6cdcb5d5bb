#include "wire/DeviceTls.h"

#include "base/Logging.h"
#include "wire/SocketFlags.h"

#include <openssl/pem.h>
#include <usbmuxd.h>

#include <cerrno>
#include <cstdint>
#include <sys/socket.h>

namespace {

int socketOf(BIO* bio) {
    return int(reinterpret_cast<std::intptr_t>(BIO_get_data(bio)));
}

int bioWrite(BIO* bio, const char* data, int size) {
    BIO_clear_retry_flags(bio);
    const ssize_t sent = ::send(socketOf(bio), data, std::size_t(size), kSendFlags);
    if (sent < 0 && wouldBlock(errno))
        BIO_set_retry_write(bio);
    return int(sent);
}

int bioRead(BIO* bio, char* data, int size) {
    BIO_clear_retry_flags(bio);
    const ssize_t got = ::recv(socketOf(bio), data, std::size_t(size), 0);
    if (got < 0 && wouldBlock(errno))
        BIO_set_retry_read(bio);
    return int(got);
}

long bioControl(BIO*, int command, long, void*) {
    return command == BIO_CTRL_FLUSH ? 1 : 0;
}

int bioCreate(BIO* bio) {
    BIO_set_init(bio, 1);
    return 1;
}

BIO* socketBio(int fd) {
    static BIO_METHOD* const method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "device socket");
        BIO_meth_set_write(m, bioWrite);
        BIO_meth_set_read(m, bioRead);
        BIO_meth_set_ctrl(m, bioControl);
        BIO_meth_set_create(m, bioCreate);
        return m;
    }();
    BIO* bio = BIO_new(method);
    if (bio)
        BIO_set_data(bio, reinterpret_cast<void*>(std::intptr_t(fd)));
    return bio;
}

// One PEM entry of the host's pair record for the device, as usbmuxd keeps it.
QByteArray pairRecordEntry(plist_t record, const char* key) {
    plist_t node = plist_dict_get_item(record, key);
    if (!node || plist_get_node_type(node) != PLIST_DATA)
        return {};
    uint64_t length = 0;
    const char* data = plist_get_data_ptr(node, &length);
    return QByteArray(data, data ? qsizetype(length) : 0);
}

// The client certificate and key that libimobiledevice presents to the device: the root of the
// pair record, which the device trusts since pairing.
bool useHostIdentity(SSL_CTX* context, const QByteArray& udid) {
    char* raw = nullptr;
    uint32_t size = 0;
    const bool read = usbmuxd_read_pair_record(udid.constData(), &raw, &size) >= 0;
    const MallocPtr<char> data{raw};
    if (!read || !data) {
        qCWarning(lcWire) << "no pair record for device" << udid;
        return false;
    }
    plist_t root = nullptr;
    plist_from_memory(data.get(), size, &root);
    const PlistPtr record{root};
    if (!record) {
        qCWarning(lcWire) << "undecodable pair record for device" << udid;
        return false;
    }
    const QByteArray certificatePem = pairRecordEntry(record.get(), "RootCertificate");
    const QByteArray keyPem = pairRecordEntry(record.get(), "RootPrivateKey");
    const BioPtr certificateBio{BIO_new_mem_buf(certificatePem.constData(), int(certificatePem.size()))};
    const X509Ptr certificate{PEM_read_bio_X509(certificateBio.get(), nullptr, nullptr, nullptr)};
    const BioPtr keyBio{BIO_new_mem_buf(keyPem.constData(), int(keyPem.size()))};
    const KeyPtr key{PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr)};
    return certificate && key && SSL_CTX_use_certificate(context, certificate.get()) == 1 &&
           SSL_CTX_use_PrivateKey(context, key.get()) == 1;
}

} // namespace

namespace DeviceTls {

SslContextPtr clientContext(const QByteArray& udid, bool legacyDevice) {
    SslContextPtr context{SSL_CTX_new(TLS_client_method())};
    if (!context)
        return nullptr;
    // What devices accept, as libimobiledevice sets it up. The device's own certificate is not
    // checked: devices present certificates of their own making.
    SSL_CTX_set_security_level(context.get(), 0);
    SSL_CTX_set_min_proto_version(context.get(), TLS1_VERSION);
    if (legacyDevice)
        SSL_CTX_set_max_proto_version(context.get(), TLS1_VERSION);
    SSL_CTX_set_mode(context.get(), SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    SSL_CTX_set_verify(context.get(), SSL_VERIFY_NONE, nullptr);
    if (!useHostIdentity(context.get(), udid))
        return nullptr;
    return context;
}

SslPtr clientStream(SSL_CTX* context, int fd) {
    SslPtr ssl{SSL_new(context)};
    BIO* bio = ssl ? socketBio(fd) : nullptr;
    if (!bio)
        return nullptr;
    SSL_set_bio(ssl.get(), bio, bio); // the stream owns the BIO from here
    SSL_set_connect_state(ssl.get());
    return ssl;
}

} // namespace DeviceTls
