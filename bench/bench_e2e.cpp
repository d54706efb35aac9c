// Secret-chat costs next to the OpenSSL primitives they are made of, measured in the same run:
//   RatchetEncryptDecrypt  vs  AesGcmSeal + AesGcmOpen + 2 x HmacChainStep
//   RatchetTurn            vs  2 x EcdhP256 + KeygenP256 (+ 2 x Hkdf64, HmacChainStep, AesGcmOpen)
//   RootSecret             vs  EcdhP256 + Hkdf32
#include "e2e/Crypto.h"
#include "e2e/E2E.h"
#include "e2e/KeyDirectory.h"
#include "e2e/PrefsStore.h"
#include "e2e/Ratchet.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/rand.h>

#include <benchmark/benchmark.h>

namespace {

constexpr int kMessageSize = 120;   // a short chat message with its small JSON wrapper

QString message()
{
    return QString(kMessageSize, QChar(u'x'));
}

// --- primitives, straight OpenSSL ---

struct Prim {
    EVP_CIPHER *gcm = EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr);
    EVP_MAC *hmac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
    EVP_KDF *hkdf = EVP_KDF_fetch(nullptr, "HKDF", nullptr);
    unsigned char key[32] = {1};
    unsigned char iv[12] = {2};
    unsigned char ad[32] = {3};
    unsigned char plain[kMessageSize] = {4};
    unsigned char sealed[kMessageSize + 16];

    void seal()
    {
        EVP_CIPHER_CTX *c = EVP_CIPHER_CTX_new();
        int len = 0;
        EVP_EncryptInit_ex2(c, gcm, key, iv, nullptr);
        EVP_EncryptUpdate(c, nullptr, &len, ad, sizeof ad);
        EVP_EncryptUpdate(c, sealed, &len, plain, sizeof plain);
        EVP_EncryptFinal_ex(c, sealed + len, &len);
        EVP_CIPHER_CTX_ctrl(c, EVP_CTRL_GCM_GET_TAG, 16, sealed + kMessageSize);
        EVP_CIPHER_CTX_free(c);
    }
    bool open()
    {
        EVP_CIPHER_CTX *c = EVP_CIPHER_CTX_new();
        unsigned char out[kMessageSize];
        int len = 0;
        EVP_DecryptInit_ex2(c, gcm, key, iv, nullptr);
        EVP_DecryptUpdate(c, nullptr, &len, ad, sizeof ad);
        EVP_DecryptUpdate(c, out, &len, sealed, kMessageSize);
        EVP_CIPHER_CTX_ctrl(c, EVP_CTRL_GCM_SET_TAG, 16, sealed + kMessageSize);
        const bool ok = EVP_DecryptFinal_ex(c, out + len, &len) == 1;
        EVP_CIPHER_CTX_free(c);
        return ok;
    }
    // The digest is chosen once; each MAC copies that context and takes its key.
    EVP_MAC_CTX *macTemplate = [this] {
        EVP_MAC_CTX *c = EVP_MAC_CTX_new(hmac);
        OSSL_PARAM p[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, const_cast<char *>("SHA256"), 0),
                          OSSL_PARAM_construct_end()};
        EVP_MAC_CTX_set_params(c, p);
        return c;
    }();

    void mac(unsigned char byte, unsigned char *out)
    {
        EVP_MAC_CTX *c = EVP_MAC_CTX_dup(macTemplate);
        size_t len = 0;
        EVP_MAC_init(c, key, sizeof key, nullptr);
        EVP_MAC_update(c, &byte, 1);
        EVP_MAC_final(c, out, &len, 32);
        EVP_MAC_CTX_free(c);
    }
    void derive(size_t length, unsigned char *out)
    {
        EVP_KDF_CTX *c = EVP_KDF_CTX_new(hkdf);
        OSSL_PARAM p[] = {OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, const_cast<char *>("SHA256"), 0),
                          OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, key, 32),
                          OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, ad, 32),
                          OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, iv, 12), OSSL_PARAM_construct_end()};
        EVP_KDF_derive(c, out, length, p);
        EVP_KDF_CTX_free(c);
    }

    static Prim &get()
    {
        static Prim p;
        return p;
    }
};

void BM_Prim_AesGcmSeal(benchmark::State &state)
{
    Prim &p = Prim::get();
    for (auto _ : state)
        p.seal();
}
BENCHMARK(BM_Prim_AesGcmSeal);

void BM_Prim_AesGcmOpen(benchmark::State &state)
{
    Prim &p = Prim::get();
    p.seal();
    for (auto _ : state)
        benchmark::DoNotOptimize(p.open());
}
BENCHMARK(BM_Prim_AesGcmOpen);

// One chain step: two HMAC-SHA256 of one byte under a 32-byte key.
void BM_Prim_HmacChainStep(benchmark::State &state)
{
    Prim &p = Prim::get();
    unsigned char out[32];
    for (auto _ : state) {
        p.mac(1, out);
        p.mac(2, out);
        benchmark::DoNotOptimize(out);
    }
}
BENCHMARK(BM_Prim_HmacChainStep);

void BM_Prim_Hkdf(benchmark::State &state)
{
    Prim &p = Prim::get();
    unsigned char out[64];
    for (auto _ : state) {
        p.derive(size_t(state.range(0)), out);
        benchmark::DoNotOptimize(out);
    }
}
BENCHMARK(BM_Prim_Hkdf)->Arg(32)->Arg(64);

void BM_Prim_EcdhP256(benchmark::State &state)
{
    EVP_PKEY *mine = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
    EVP_PKEY *peer = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
    unsigned char out[32];
    for (auto _ : state) {
        EVP_PKEY_CTX *c = EVP_PKEY_CTX_new_from_pkey(nullptr, mine, nullptr);
        size_t len = sizeof out;
        EVP_PKEY_derive_init(c);
        EVP_PKEY_derive_set_peer_ex(c, peer, 0);
        EVP_PKEY_derive(c, out, &len);
        EVP_PKEY_CTX_free(c);
        benchmark::DoNotOptimize(out);
    }
    EVP_PKEY_free(mine);
    EVP_PKEY_free(peer);
}
BENCHMARK(BM_Prim_EcdhP256);

void BM_Prim_KeygenP256(benchmark::State &state)
{
    for (auto _ : state) {
        EVP_PKEY *k = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
        benchmark::DoNotOptimize(k);
        EVP_PKEY_free(k);
    }
}
BENCHMARK(BM_Prim_KeygenP256);

// --- the ratchet ---

struct Conversation {
    QString alicePriv, alicePub, bobPriv, bobPub, sk;
    E2E2::State alice, bob;
    const QString ad = E2E2::ad("alice", "bob");

    Conversation()
    {
        const Crypto::KeyPair a = Crypto::generateP256(Crypto::systemRandom());
        const Crypto::KeyPair b = Crypto::generateP256(Crypto::systemRandom());
        alicePriv = Crypto::toBase64(a.priv);
        alicePub = Crypto::toBase64(a.pub);
        bobPriv = Crypto::toBase64(b.priv);
        bobPub = Crypto::toBase64(b.pub);
        sk = E2E2::rootSecret(alicePriv, bobPub, "alice", "bob");
        alice = E2E2::initSender(sk, bobPub);
        bob = E2E2::initReceiver(sk, bobPriv, bobPub);
        const E2E2::Sealed first = E2E2::encrypt(alice, message(), ad);
        E2E2::decrypt(bob, first.header, first.iv, first.ct, ad);
    }
};

void BM_RatchetEncryptDecrypt(benchmark::State &state)
{
    Conversation c;
    const QString text = message();
    for (auto _ : state) {
        const E2E2::Sealed m = E2E2::encrypt(c.alice, text, c.ad);
        benchmark::DoNotOptimize(E2E2::decrypt(c.bob, m.header, m.iv, m.ct, c.ad));
    }
}
BENCHMARK(BM_RatchetEncryptDecrypt);

// Bob opens Alice's answer to his reply: one DH-ratchet turn (two ECDH, one key pair, two HKDF).
void BM_RatchetTurn(benchmark::State &state)
{
    Conversation c;
    const E2E2::Sealed reply = E2E2::encrypt(c.bob, message(), c.ad);
    E2E2::decrypt(c.alice, reply.header, reply.iv, reply.ct, c.ad);
    const E2E2::Sealed answer = E2E2::encrypt(c.alice, message(), c.ad);
    for (auto _ : state) {
        E2E2::State s = c.bob;
        benchmark::DoNotOptimize(E2E2::decrypt(s, answer.header, answer.iv, answer.ct, c.ad));
    }
}
BENCHMARK(BM_RatchetTurn);

void BM_RootSecret(benchmark::State &state)
{
    Conversation c;
    for (auto _ : state)
        benchmark::DoNotOptimize(E2E2::rootSecret(c.alicePriv, c.bobPub, "alice", "bob"));
}
BENCHMARK(BM_RootSecret);

// A whole secret send through E2E with established sessions: key check, cached directory,
// session load and store, one ratchet step per target on the thread pool, envelope JSON.
void BM_BuildSecret(benchmark::State &state)
{
    FixedKeyDirectory directory;
    MemoryStore store;
    E2E e2e(directory, store);
    const int targets = int(state.range(0));
    for (int i = 0; i < targets; ++i) {
        const Crypto::KeyPair k = Crypto::generateP256(Crypto::systemRandom());
        directory.entries["bob"].append({QStringLiteral("%1").arg(i, 24, 10, QChar(u'0')), Crypto::toBase64(k.pub)});
    }
    const QString text = message();
    QCoro::waitFor(e2e.buildSecret("tok", "alice", "bob", text));
    for (auto _ : state)
        benchmark::DoNotOptimize(QCoro::waitFor(e2e.buildSecret("tok", "alice", "bob", text)));
    state.counters["targets"] = targets;
}
BENCHMARK(BM_BuildSecret)->Arg(1)->Arg(4)->UseRealTime();

} // namespace
