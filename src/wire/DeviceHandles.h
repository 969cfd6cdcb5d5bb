#pragma once

#include "base/UniqueHandle.h"

#include <libimobiledevice/libimobiledevice.h>
#include <libimobiledevice/lockdown.h>
#include <openssl/ssl.h>
#include <plist/plist.h>

// Owners for the libimobiledevice, libplist and OpenSSL handles of the USB device path: each is
// freed once, on every path out.
using DevicePtr = UniqueHandle<idevice_private, idevice_free>;
using LockdownPtr = UniqueHandle<lockdownd_client_private, lockdownd_client_free>;
using ServicePtr = UniqueHandle<lockdownd_service_descriptor, lockdownd_service_descriptor_free>;
using ConnectionPtr = UniqueHandle<idevice_connection_private, idevice_disconnect>;
using DeviceListPtr = UniqueHandle<idevice_info_t, idevice_device_list_extended_free>;
using PlistPtr = UniqueHandle<void, plist_free>;

// The descriptor may be shut down already when a stream is freed: no close_notify.
inline void freeQuietly(SSL* ssl) {
    SSL_set_quiet_shutdown(ssl, 1);
    SSL_free(ssl);
}
using SslPtr = UniqueHandle<SSL, freeQuietly>;
using SslContextPtr = UniqueHandle<SSL_CTX, SSL_CTX_free>;
using BioPtr = UniqueHandle<BIO, BIO_free>;
using X509Ptr = UniqueHandle<X509, X509_free>;
using KeyPtr = UniqueHandle<EVP_PKEY, EVP_PKEY_free>;
