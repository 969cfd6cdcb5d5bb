#include "support/PairingCertificates.h"

#include "wire/DeviceHandles.h"
#include "wire/PropertyList.h"

#include <QUuid>

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace {

QByteArray drain(BIO* bio) {
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    return QByteArray(data, qsizetype(size));
}

QByteArray pem(const KeyPtr& key) {
    const BioPtr bio{BIO_new(BIO_s_mem())};
    // The traditional RSA form, as pair records hold it.
    PEM_write_bio_PrivateKey_traditional(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr);
    return drain(bio.get());
}

QByteArray pem(const X509Ptr& certificate) {
    const BioPtr bio{BIO_new(BIO_s_mem())};
    PEM_write_bio_X509(bio.get(), certificate.get());
    return drain(bio.get());
}

void extend(X509* certificate, X509* issuer, int nid, const char* value) {
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
    if (const UniqueHandle<X509_EXTENSION, X509_EXTENSION_free> extension{
            X509V3_EXT_conf_nid(nullptr, &context, nid, value)})
        X509_add_ext(certificate, extension.get(), -1);
}

X509Ptr issue(const KeyPtr& key, const char* commonName, long serial, X509* issuer, EVP_PKEY* issuerKey) {
    X509Ptr certificate(X509_new());
    X509_set_version(certificate.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(certificate.get()), serial);
    X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(certificate.get()), 60L * 60 * 24 * 365);
    X509_set_pubkey(certificate.get(), key.get());
    X509_NAME* name = X509_get_subject_name(certificate.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(commonName),
                               -1, -1, 0);
    X509* signer = issuer ? issuer : certificate.get();
    X509_set_issuer_name(certificate.get(), X509_get_subject_name(signer));
    if (issuer) {
        extend(certificate.get(), signer, NID_basic_constraints, "critical,CA:FALSE");
        extend(certificate.get(), signer, NID_key_usage, "critical,digitalSignature,keyEncipherment");
    } else {
        // No key usage on the root: hosts present it as their own client certificate too.
        extend(certificate.get(), signer, NID_basic_constraints, "critical,CA:TRUE");
    }
    extend(certificate.get(), signer, NID_subject_key_identifier, "hash");
    X509_sign(certificate.get(), issuerKey ? issuerKey : key.get(), EVP_sha256());
    return certificate;
}

} // namespace

PairingCertificates PairingCertificates::generate() {
    const KeyPtr rootKey(EVP_RSA_gen(2048));
    const KeyPtr hostKey(EVP_RSA_gen(2048));
    const KeyPtr deviceKey(EVP_RSA_gen(2048));
    const X509Ptr root = issue(rootKey, "Root", 1, nullptr, nullptr);
    const X509Ptr host = issue(hostKey, "Host", 2, root.get(), rootKey.get());
    const X509Ptr device = issue(deviceKey, "Device", 3, root.get(), rootKey.get());

    PairingCertificates result;
    result.rootCertificate = pem(root);
    result.rootKey = pem(rootKey);
    result.hostCertificate = pem(host);
    result.hostKey = pem(hostKey);
    result.deviceCertificate = pem(device);
    result.deviceKey = pem(deviceKey);
    result.hostID = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    result.systemBUID = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    return result;
}

QByteArray PairingCertificates::pairRecord() const {
    const QVariantMap record{
        {QStringLiteral("DeviceCertificate"), deviceCertificate},
        {QStringLiteral("HostCertificate"), hostCertificate},
        {QStringLiteral("HostPrivateKey"), hostKey},
        {QStringLiteral("RootCertificate"), rootCertificate},
        {QStringLiteral("RootPrivateKey"), rootKey},
        {QStringLiteral("HostID"), hostID},
        {QStringLiteral("SystemBUID"), systemBUID},
        {QStringLiteral("WiFiMACAddress"), QStringLiteral("02:00:00:00:00:01")},
    };
    return PropertyList::encodeXml(record).value_or(QByteArray());
}
