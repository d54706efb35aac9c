// The gateway's requests over a real connection and a real store: the request envelope (id, op,
// data) and every operation's arguments, as a signed-in user sends them.
#include "ServicePipe.h"
#include "accounts/Accounts.h"
#include "core/Secure.h"
#include "gateway/Gateway.h"
#include "storage/SqliteStore.h"

#include <QTemporaryDir>
#include <QThreadPool>

namespace {

const QByteArray kToken = "fuzz-token-of-u1";

struct Service {
    QTemporaryDir dir{Fuzz::scratchTemplate()};
    std::unique_ptr<Storage::SqliteStore> store;
    QThreadPool pool;
    std::unique_ptr<Context> ctx;
    std::unique_ptr<Accounts> accounts;
    std::unique_ptr<Gateway::Hub> hub;

    Service()
    {
        Fuzz::check(dir.isValid(), "a data directory");
        store = std::make_unique<Storage::SqliteStore>(dir.filePath(QStringLiteral("fuzz.db")));
        Options options;
        options.dataDir = dir.path();
        options.passwordIterations = 1;
        ctx = std::make_unique<Context>(Context{options, *store, QByteArray(32, 's'), pool});
        accounts = std::make_unique<Accounts>(*ctx);
        hub = std::make_unique<Gateway::Hub>(*ctx, *accounts);
        // Three users: u1 (the caller) and u2 are friends, all three share group g1.
        const qint64 now = ctx->now();
        for (const char *id : {"u1", "u2", "u3"}) {
            Storage::User u;
            u.id = QLatin1String(id);
            u.email = u.id + QStringLiteral("@fuzz.test");
            u.nickname = u.id;
            u.createdAt = now;
            store->insertUser(u);
        }
        store->addFriends(QStringLiteral("u1"), QStringLiteral("u2"), now);
        store->insertGroup(QStringLiteral("g1"), QStringLiteral("group"), QStringLiteral("u1"),
                           {QStringLiteral("u1"), QStringLiteral("u2"), QStringLiteral("u3")}, now);
        store->insertToken(Secure::sha256(kToken), QStringLiteral("u1"), QStringLiteral("im"), now + 24LL * 3600 * 1000);
    }
};

Service *service;

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    Fuzz::app();
    service = new Service;
    return 0;
}

// One request text per line. Unless the first line is itself an auth request, the connection
// signs in as u1 first.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QList<QByteArray> lines = Fuzz::bytes(data, size).split('\n');
    Fuzz::ServicePipe pipe;
    service->hub->accept(pipe.socket);
    pipe.send(Fuzz::openingHandshake());
    if (!lines.first().contains("\"auth\""))
        pipe.send(Fuzz::clientFrame(0x81, "{\"id\":1,\"op\":\"auth\",\"data\":{\"version\":1,\"userID\":\"u1\",\"token\":\"" + kToken +
                                                "\",\"platformID\":1}}"));
    for (const QByteArray &line : lines)
        pipe.send(Fuzz::clientFrame(0x81, line));
    pipe.endInput();
    pipe.drain(true);
    return 0;
}
