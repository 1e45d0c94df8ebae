#include "keydb/pool/PoolCrypto.h"

#include <libpq-fe.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <tuple>

#include "keydb/Sha256.h"
#include "keydb/WipeMemory.h"

#ifndef O_CLOEXEC
#define O_CLOEXEC 0
#endif
#ifndef O_NOCTTY
#define O_NOCTTY 0
#endif

namespace pool {

namespace {

using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;

// "keypool", the pool id and the key index, big-endian.
std::array<uint8_t, 15> AssociatedData(int32_t poolId, int32_t index) {
    std::array<uint8_t, 15> ad{'k', 'e', 'y', 'p', 'o', 'o', 'l'};
    for (int i = 0; i < 4; ++i) {
        ad[7 + i] = static_cast<uint8_t>(static_cast<uint32_t>(poolId) >> (24 - 8 * i));
        ad[11 + i] = static_cast<uint8_t>(static_cast<uint32_t>(index) >> (24 - 8 * i));
    }
    return ad;
}

bool IsSocketHost(const std::string& host) {
    return !host.empty() && (host[0] == '/' || host[0] == '@');
}

// True when any host of a comma-separated list is reached over TCP.
bool AnyTcpHost(const std::string& hosts) {
    size_t start = 0;
    while (start <= hosts.size()) {
        const size_t end = std::min(hosts.find(',', start), hosts.size());
        if (!IsSocketHost(hosts.substr(start, end - start))) {
            return true;
        }
        start = end + 1;
    }
    return false;
}

// The connection options that name a file the client opens.
bool IsClientFile(const std::string& keyword) {
    return keyword == "passfile" || keyword == "sslrootcert" || keyword == "sslcert" ||
           keyword == "sslkey" || keyword == "sslcrl" || keyword == "sslcrldir";
}

std::string Quoted(const char* value) {
    std::string out = "'";
    for (const char* p = value; *p != '\0'; ++p) {
        if (*p == '\'' || *p == '\\') {
            out += '\\';
        }
        out += *p;
    }
    return out + "'";
}

}  // namespace

std::array<uint8_t, 32> WrapCheck(const WrapKey& key) {
    static constexpr char kPrefix[] = "keystation key pool wrap key check";
    CSha256 sha;
    sha.Update(reinterpret_cast<const uint8_t*>(kPrefix), sizeof kPrefix);
    sha.Update(key.bytes.data(), key.bytes.size());
    std::array<uint8_t, 32> out{};
    sha.Final(out.data());
    return out;
}

bool WrapPoolKey(const WrapKey& key, int32_t poolId, int32_t index, const uint8_t* data,
                 size_t size, std::vector<uint8_t>* out) {
    if (data == nullptr || size == 0 || size > 65536) {
        return false;
    }
    out->assign(size + kWrapOverhead, 0);
    uint8_t* nonce = out->data();
    uint8_t* cipher = nonce + kWrapNonceBytes;
    uint8_t* tag = cipher + size;
    const auto ad = AssociatedData(poolId, index);
    CipherCtx ctx(EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
    int n = 0;
    int last = 0;
    const bool ok =
        ctx && RAND_bytes(nonce, kWrapNonceBytes) == 1 &&
        EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, key.bytes.data(), nonce) == 1 &&
        EVP_EncryptUpdate(ctx.get(), nullptr, &n, ad.data(), static_cast<int>(ad.size())) == 1 &&
        EVP_EncryptUpdate(ctx.get(), cipher, &n, data, static_cast<int>(size)) == 1 &&
        static_cast<size_t>(n) == size && EVP_EncryptFinal_ex(ctx.get(), cipher + n, &last) == 1 &&
        last == 0 &&
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, static_cast<int>(kWrapTagBytes),
                            tag) == 1;
    if (!ok) {
        out->clear();
    }
    return ok;
}

bool UnwrapPoolKey(const WrapKey& key, int32_t poolId, int32_t index, const uint8_t* data,
                   size_t size, uint8_t* out) {
    if (data == nullptr || size <= kWrapOverhead || size > 65536 + kWrapOverhead) {
        return false;
    }
    const size_t length = size - kWrapOverhead;
    const uint8_t* nonce = data;
    const uint8_t* cipher = nonce + kWrapNonceBytes;
    std::array<uint8_t, kWrapTagBytes> tag{};
    std::memcpy(tag.data(), cipher + length, tag.size());
    const auto ad = AssociatedData(poolId, index);
    CipherCtx ctx(EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
    int n = 0;
    int last = 0;
    const bool ok =
        ctx &&
        EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, key.bytes.data(), nonce) == 1 &&
        EVP_DecryptUpdate(ctx.get(), nullptr, &n, ad.data(), static_cast<int>(ad.size())) == 1 &&
        EVP_DecryptUpdate(ctx.get(), out, &n, cipher, static_cast<int>(length)) == 1 &&
        static_cast<size_t>(n) == length &&
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, static_cast<int>(tag.size()),
                            tag.data()) == 1 &&
        EVP_DecryptFinal_ex(ctx.get(), out + n, &last) == 1;
    if (!ok) {
        WipeMemory(out, length);
    }
    return ok;
}

bool CheckConnected(PGconn* conn, bool insecure, std::string* error) {
    if (conn == nullptr || PQstatus(conn) != CONNECTION_OK) {
        *error = "not connected";
        return false;
    }
    if (insecure || IsLocalSocket(PQsocket(conn))) {
        return true;
    }
    std::string sslmode;
    std::string channelBinding;
    std::unique_ptr<PQconninfoOption, decltype(&PQconninfoFree)> options(PQconninfo(conn),
                                                                         &PQconninfoFree);
    for (PQconninfoOption* o = options.get(); o != nullptr && o->keyword != nullptr; ++o) {
        const std::string keyword = o->keyword;
        const std::string value = o->val != nullptr ? std::string(o->val, strnlen(o->val, 64)) : "";
        sslmode = keyword == "sslmode" ? value : sslmode;
        channelBinding = keyword == "channel_binding" ? value : channelBinding;
    }
    if (PQsslInUse(conn) != 1) {
        *error = "the connection to the key pool server is over TCP without TLS";
    } else if (sslmode != "verify-full") {
        *error = "the connection to the key pool server is over TCP with sslmode=" +
                 (sslmode.empty() ? std::string("(none)") : sslmode) +
                 ", not sslmode=verify-full (a service file or PGSSLMODE may have set it)";
    } else if (channelBinding != "require") {
        *error =
            "the connection to the key pool server is over TCP without "
            "channel_binding=require";
    } else {
        return true;
    }
    return false;
}

bool CheckConnInfo(const std::string& conninfo, bool insecure, std::string* effective,
                   std::string* error) {
    char* parseError = nullptr;
    std::unique_ptr<PQconninfoOption, decltype(&PQconninfoFree)> options(
        PQconninfoParse(conninfo.c_str(), &parseError), &PQconninfoFree);
    if (!options) {
        *error = "the connection string cannot be read: " +
                 std::string(parseError != nullptr ? parseError : "out of memory");
        PQfreemem(parseError);
        return false;
    }
    std::string host;
    std::string hostaddr;
    std::string sslmode;
    bool service = false;
    bool channelBinding = false;
    bool passfile = false;
    bool rootcert = false;
    effective->clear();
    for (PQconninfoOption* o = options.get(); o->keyword != nullptr; ++o) {
        if (o->val == nullptr) {
            continue;
        }
        const std::string keyword = o->keyword;
        if (keyword == "password") {
            *error =
                "the connection string holds a password; keep it in the passfile PGPASSFILE names";
            return false;
        }
        std::string value = o->val;
        if (IsClientFile(keyword) && !ClientFilePath(o->val, &value, error)) {
            return false;
        }
        host = keyword == "host" ? o->val : host;
        hostaddr = keyword == "hostaddr" ? o->val : hostaddr;
        sslmode = keyword == "sslmode" ? o->val : sslmode;
        service = service || keyword == "service";
        channelBinding = channelBinding || keyword == "channel_binding";
        passfile = passfile || keyword == "passfile";
        rootcert = rootcert || keyword == "sslrootcert";
        *effective += (effective->empty() ? "" : " ") + keyword + "=" + Quoted(value.c_str());
    }
    // The files the client would look for by itself, named here where it cannot find them.
    for (const auto& [keyword, named, path] :
         {std::tuple{"passfile", passfile, PassFileDefault()},
          std::tuple{"sslrootcert", rootcert, RootCertDefault()}}) {
        std::string value;
        if (!named && !path.empty()) {
            if (!ClientFilePath(path, &value, error)) {
                return false;
            }
            *effective += std::string(" ") + keyword + "=" + Quoted(value.c_str());
        }
    }
    if (host.empty()) {
        const char* env = std::getenv("PGHOST");
        host = env != nullptr ? env : "";
    }
    if (hostaddr.empty()) {
        const char* env = std::getenv("PGHOSTADDR");
        hostaddr = env != nullptr ? env : "";
    }
    // No host at all is libpq's default (NoHostIsTcp); a service file may name any host.
    const bool tcp =
        !hostaddr.empty() || service || (host.empty() ? NoHostIsTcp() : AnyTcpHost(host));
    if (tcp && !insecure) {
        if (sslmode != "verify-full") {
            *error =
                "the connection string reaches the server over TCP without sslmode=verify-full "
                "(--insecure-pool-connection allows it)";
            return false;
        }
        if (!channelBinding) {
            *effective += " channel_binding='require'";
        }
    }
    return true;
}

}  // namespace pool
