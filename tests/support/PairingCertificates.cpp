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

// PEM text of a key (the traditional RSA form, as pair records hold it) or a certificate.
template <typename Write> QByteArray pem(Write write) {
    const BioPtr bio{BIO_new(BIO_s_mem())};
    write(bio.get());
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return QByteArray(data, qsizetype(size));
}

// A certificate for `key`, issued by `issuer` or, without one, self-signed.
X509Ptr issue(EVP_PKEY* key, const char* commonName, long serial, X509* issuer) {
    X509Ptr certificate(X509_new());
    X509* made = certificate.get();
    X509* signer = issuer ? issuer : made;
    X509_set_version(made, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(made), serial);
    X509_gmtime_adj(X509_getm_notBefore(made), -3600);
    X509_gmtime_adj(X509_getm_notAfter(made), 60L * 60 * 24 * 365);
    X509_set_pubkey(made, key);
    X509_NAME_add_entry_by_txt(X509_get_subject_name(made), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(commonName), -1, -1, 0);
    X509_set_issuer_name(made, X509_get_subject_name(signer));
    const auto extend = [&](int nid, const char* value) {
        X509V3_CTX context;
        X509V3_set_ctx_nodb(&context);
        X509V3_set_ctx(&context, signer, made, nullptr, nullptr, 0);
        if (const UniqueHandle<X509_EXTENSION, X509_EXTENSION_free> extension{
                X509V3_EXT_conf_nid(nullptr, &context, nid, value)})
            X509_add_ext(made, extension.get(), -1);
    };
    extend(NID_basic_constraints, issuer ? "critical,CA:FALSE" : "critical,CA:TRUE");
    // No key usage on the root: hosts present it as their own client certificate too.
    if (issuer)
        extend(NID_key_usage, "critical,digitalSignature,keyEncipherment");
    X509_sign(made, key, EVP_sha256());
    return certificate;
}

QByteArray pem(const X509Ptr& certificate) {
    return pem([&](BIO* bio) { PEM_write_bio_X509(bio, certificate.get()); });
}

} // namespace

PairingCertificates PairingCertificates::generate() {
    // One key for all three: the pairing's trust lies in the certificates, and keys are slow to make.
    const KeyPtr key(EVP_RSA_gen(2048));
    PairingCertificates result;
    result.rootKey = result.hostKey = result.deviceKey = pem([&](BIO* bio) {
        PEM_write_bio_PrivateKey_traditional(bio, key.get(), nullptr, nullptr, 0, nullptr, nullptr);
    });
    const X509Ptr root = issue(key.get(), "Root", 1, nullptr);
    result.rootCertificate = pem(root);
    result.hostCertificate = pem(issue(key.get(), "Host", 2, root.get()));
    result.deviceCertificate = pem(issue(key.get(), "Device", 3, root.get()));
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
