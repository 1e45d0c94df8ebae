// The pool's keys at rest: each key is stored encrypted and authenticated with AES-256-GCM under
// a 32-byte pool wrap key that the database never holds, with the pool id and the key index as
// associated data (a row moved to another key or pool fails to open). OpenSSL's EVP does the
// cipher: libpq links it already, and it is what Debian patches.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "keydb/WipeMemory.h"

typedef struct pg_conn PGconn;

namespace pool {

constexpr size_t kWrapKeyBytes = 32;
constexpr size_t kWrapNonceBytes = 12;
constexpr size_t kWrapTagBytes = 16;
constexpr size_t kWrapOverhead = kWrapNonceBytes + kWrapTagBytes;

// The wrap key in memory; wiped when it goes.
struct WrapKey {
    std::array<uint8_t, kWrapKeyBytes> bytes{};
    WrapKey() = default;
    ~WrapKey() { WipeMemory(bytes.data(), bytes.size()); }
    WrapKey(const WrapKey&) = delete;
    WrapKey& operator=(const WrapKey&) = delete;
};

// Reads a wrap key file: exactly 32 bytes, a regular file that only its owner may read or write
// (on Linux). False with the reason otherwise.
bool ReadWrapKeyFile(const std::string& path, WrapKey* key, std::string* error);
// Writes 32 new random bytes to `path`, created with mode 0600; never replaces a file.
bool WriteNewWrapKeyFile(const std::string& path, std::string* error);
// What the pool keeps to recognise its wrap key: SHA-256 of a fixed prefix and the key.
std::array<uint8_t, 32> WrapCheck(const WrapKey& key);

// nonce | ciphertext | tag, `size + kWrapOverhead` bytes.
bool WrapPoolKey(const WrapKey& key, int32_t poolId, int32_t index, const uint8_t* data,
                 size_t size, std::vector<uint8_t>* out);
// Opens what WrapPoolKey made into `out` (`size - kWrapOverhead` bytes). False when the bytes
// were not made for this pool id and index under this key, or were changed.
bool UnwrapPoolKey(const WrapKey& key, int32_t poolId, int32_t index, const uint8_t* data,
                   size_t size, uint8_t* out);

// The PostgreSQL client opens its files (CA certificate, client certificate and key, revocation
// lists, passfile) with the narrow file calls, which on Windows read a path in the ANSI code page.
// ClientFilePath gives the name to hand it for a UTF-8 path: the path itself on POSIX; on Windows
// the path in the ANSI code page when every character has its place there, else the file's short
// name; false (with the reason) when there is neither. PassFileDefault is the passfile to name
// when a connection string names none (on Windows PGPASSFILE, else pgpass.conf in the folder
// postgresql of %APPDATA%, read through the UTF-16 calls; empty on POSIX, where the client finds
// it itself); RootCertDefault likewise the CA certificate (root.crt in that folder).
bool ClientFilePath(const std::string& path, std::string* out, std::string* error);
std::string PassFileDefault();
std::string RootCertDefault();
// Whether the client goes over TCP when a connection string names no host: its Unix socket folder
// on POSIX, TCP to localhost on Windows (where it has no default socket folder).
bool NoHostIsTcp();

// Whether a live connection runs over a Unix-domain socket (asked of the socket itself).
bool IsLocalSocket(int socket);

// Checks a live connection, whatever the string, a service file, the environment or a passfile
// made of it: unless it is over a Unix-domain socket (or `insecure`), it must be TLS
// (PQsslInUse) with the effective sslmode verify-full and channel_binding require, as the
// connection reports them (PQconninfo). False with the rule that refused it.
bool CheckConnected(PGconn* conn, bool insecure, std::string* error);

// Checks a libpq connection string before it is used. Over TCP (any host that is not a Unix
// socket folder, and on Windows no host at all) it must ask for sslmode=verify-full unless
// `insecure`; a password in it is refused (passwords come from the passfile, PGPASSFILE);
// channel_binding=require is added over TCP when the string does not say otherwise. `effective`
// gets the string to connect with.
bool CheckConnInfo(const std::string& conninfo, bool insecure, std::string* effective,
                   std::string* error);

}  // namespace pool
