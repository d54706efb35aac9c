// sarvo-e2e: lets other clients' implementations check the secret-chat formats against ours.
// Reads one JSON request on stdin and writes one JSON object on stdout. Exit 0 for every
// well-formed request (a failed operation answers {"error": ...}), 2 for a malformed one.
// The key directory and the stores of the app are played by the request's fields; everything
// else runs through the same code as the client.
#include "base/Error.h"
#include "base/Json.h"
#include "e2e/E2E.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>

#include <cstdio>
#include <functional>
#include <map>

namespace {

struct Malformed {
    QString why;
};

// Typed access to the request; a missing member or one of the wrong type is malformed.
class Request {
public:
    explicit Request(QJsonObject o) : m_o(std::move(o)) {}

    QString str(const char *key) const
    {
        const QJsonValue v = m_o.value(QLatin1StringView(key));
        if (!v.isString())
            throw Malformed{QStringLiteral("\"%1\" must be a string").arg(QLatin1StringView(key))};
        return v.toString();
    }
    QJsonObject obj(const char *key) const
    {
        const QJsonValue v = m_o.value(QLatin1StringView(key));
        if (!v.isObject())
            throw Malformed{QStringLiteral("\"%1\" must be an object").arg(QLatin1StringView(key))};
        return v.toObject();
    }
    QJsonArray arr(const char *key) const
    {
        const QJsonValue v = m_o.value(QLatin1StringView(key));
        if (!v.isArray())
            throw Malformed{QStringLiteral("\"%1\" must be an array").arg(QLatin1StringView(key))};
        return v.toArray();
    }
    E2E2::State state(const char *key) const { return stateOf(obj(key), QString::fromLatin1(key)); }

    static E2E2::State stateOf(const QJsonObject &o, const QString &what)
    {
        std::optional<E2E2::State> s = E2E2::fromJsonObject(o);
        if (!s)
            throw Malformed{QStringLiteral("\"%1\" is not a ratchet state").arg(what)};
        return *s;
    }

    QList<KeyDirectory::Device> devices(const QJsonArray &list, QStringView what) const
    {
        QList<KeyDirectory::Device> out;
        for (const QJsonValue &v : list) {
            const QJsonObject d = v.toObject();
            if (!v.isObject() || !d.value(QLatin1StringView("deviceID")).isString()
                || !d.value(QLatin1StringView("pubKey")).isString())
                throw Malformed{QStringLiteral("\"%1\" entries need string deviceID and pubKey").arg(what)};
            out.append({d.value(QLatin1StringView("deviceID")).toString(), d.value(QLatin1StringView("pubKey")).toString()});
        }
        return out;
    }

private:
    QJsonObject m_o;
};

QJsonObject headerObject(const E2E2::Header &h)
{
    return QJsonObject{{QStringLiteral("dh"), h.dh}, {QStringLiteral("pn"), h.pn}, {QStringLiteral("n"), h.n}};
}

E2E2::Header headerOf(const QJsonObject &o)
{
    const QJsonValue dh = o.value(QLatin1StringView("dh"));
    const QJsonValue pn = o.value(QLatin1StringView("pn"));
    const QJsonValue n = o.value(QLatin1StringView("n"));
    if (!dh.isString() || !Json::isInteger(pn) || !Json::isInteger(n))
        throw Malformed{QStringLiteral("\"header\" needs a string dh and integers pn and n")};
    return E2E2::Header{dh.toString(), pn.toInteger(), n.toInteger()};
}

QJsonValue optionalText(const std::optional<QString> &s)
{
    return s ? QJsonValue(*s) : QJsonValue(QJsonValue::Null);
}

// The app's stores and directory, filled from the request.
struct Sandbox {
    FixedKeyDirectory directory;
    MemoryStore store;
    E2E e2e{directory, store};

    Sandbox(const Request &r, const QJsonObject &sessions)
    {
        store.setText(E2E::kPrivKey, r.str("myPriv"));
        store.setText(E2E::kPubKey, r.str("myPub"));
        store.setText(E2E::kDeviceIDKey, r.str("myDeviceID"));
        for (auto it = sessions.begin(); it != sessions.end(); ++it) {
            if (!it.value().isObject())
                throw Malformed{QStringLiteral("\"sessions\" values must be ratchet states")};
            e2e.saveSess(it.key(), Request::stateOf(it.value().toObject(), it.key()));
        }
    }

    QJsonObject sessions()
    {
        QJsonObject out;
        for (const QString &key : store.keys()) {
            if (!key.startsWith(E2E::kSessionPrefix))
                continue;
            const QString name = key.mid(E2E::kSessionPrefix.size());
            if (std::optional<E2E2::State> s = e2e.loadSess(name))
                out.insert(name, E2E2::toJsonObject(*s));
        }
        return out;
    }
};

QJsonObject keygen(const Request &)
{
    const Crypto::KeyPair pair = Crypto::generateP256(Crypto::systemRandom());
    return {{QStringLiteral("priv"), Crypto::toBase64(pair.priv)}, {QStringLiteral("pub"), Crypto::toBase64(pair.pub)}};
}

QJsonObject rootSecret(const Request &r)
{
    return {{QStringLiteral("rk"), E2E2::rootSecret(r.str("myPriv"), r.str("peerPub"), r.str("myID"), r.str("peerID"))}};
}

QJsonObject initSender(const Request &r)
{
    return {{QStringLiteral("state"), E2E2::toJsonObject(E2E2::initSender(r.str("sk"), r.str("peerPub")))}};
}

QJsonObject initReceiver(const Request &r)
{
    return {{QStringLiteral("state"),
             E2E2::toJsonObject(E2E2::initReceiver(r.str("sk"), r.str("myPriv"), r.str("myPub")))}};
}

QJsonObject encrypt(const Request &r)
{
    E2E2::State s = r.state("state");
    const QString plaintext = r.str("plaintext");
    const QString ad = r.str("ad");
    const E2E2::Sealed sealed = E2E2::encrypt(s, plaintext, ad);
    return {{QStringLiteral("state"), E2E2::toJsonObject(s)},
            {QStringLiteral("header"), headerObject(sealed.header)},
            {QStringLiteral("iv"), sealed.iv},
            {QStringLiteral("ct"), sealed.ct}};
}

QJsonObject decrypt(const Request &r)
{
    E2E2::State s = r.state("state");
    const E2E2::Header header = headerOf(r.obj("header"));
    const QString iv = r.str("iv");
    const QString ct = r.str("ct");
    const QString ad = r.str("ad");
    const QString plaintext = E2E2::decrypt(s, header, iv, ct, ad);
    return {{QStringLiteral("state"), E2E2::toJsonObject(s)}, {QStringLiteral("plaintext"), plaintext}};
}

QJsonObject callKey(const Request &r)
{
    return {{QStringLiteral("key"), optionalText(E2E::deriveCallKey(r.str("myPriv"), r.str("peerPub"), r.str("myID"),
                                                                    r.str("peerID"), r.str("roomID")))}};
}

QJsonObject safetyCode(const Request &r)
{
    QStringList keys;
    for (const QJsonValue &v : r.arr("keys")) {
        if (!v.isString())
            throw Malformed{QStringLiteral("\"keys\" must be an array of strings")};
        keys.append(v.toString());
    }
    return {{QStringLiteral("code"), E2E::safetyCodeOf(keys)}};
}

const QString kToken = QStringLiteral("sarvo-e2e");

QJsonObject buildSecret(const Request &r)
{
    Sandbox box(r, r.obj("sessions"));
    const QString me = r.str("myUserID");
    const QString peer = r.str("peerID");
    const QString text = r.str("text");
    box.directory.entries.insert(peer, r.devices(r.arr("peerDevices"), u"peerDevices"));
    box.directory.entries.insert(me, r.devices(r.arr("myDevices"), u"myDevices"));
    try {
        const std::optional<QString> envelope = QCoro::waitFor(box.e2e.buildSecret(kToken, me, peer, text));
        return {{QStringLiteral("envelope"), optionalText(envelope)}, {QStringLiteral("sessions"), box.sessions()}};
    } catch (const Error &e) {
        // Sessions of targets handled before the failure stay advanced, as in the app.
        return {{QStringLiteral("error"), e.message()}, {QStringLiteral("sessions"), box.sessions()}};
    }
}

QJsonObject openSecret(const Request &r)
{
    Sandbox box(r, r.obj("sessions"));
    const QJsonObject devices = r.obj("devices");
    for (auto it = devices.begin(); it != devices.end(); ++it) {
        if (!it.value().isArray())
            throw Malformed{QStringLiteral("\"devices\" values must be arrays")};
        box.directory.entries.insert(it.key(), r.devices(it.value().toArray(), u"devices"));
    }
    const QJsonObject cache = r.obj("ptCache");
    box.store.setBytes(E2E::kPtCacheKey, Json::compact(cache));
    const QString me = r.str("myUserID");
    const QString peer = r.str("peerID");
    const QString customData = r.str("customData");
    const QString sender = r.str("senderID");
    const QString msgID = r.str("clientMsgID");
    const std::optional<QString> plaintext =
        QCoro::waitFor(box.e2e.decrypt(kToken, me, peer, customData, sender, msgID));
    return {{QStringLiteral("plaintext"), optionalText(plaintext)},
            {QStringLiteral("sessions"), box.sessions()},
            {QStringLiteral("ptCache"), box.e2e.ptLoad().toJsonObject()}};
}

void write(const QJsonObject &o)
{
    const QByteArray out = Json::compact(o) + '\n';
    fwrite(out.constData(), 1, size_t(out.size()), stdout);
    fflush(stdout);
}

} // namespace

int run()
{
    const std::map<QString, std::function<QJsonObject(const Request &)>> ops{
        {"keygen", keygen},         {"rootSecret", rootSecret}, {"initSender", initSender},
        {"initReceiver", initReceiver}, {"encrypt", encrypt}, {"decrypt", decrypt},
        {"callKey", callKey},       {"safetyCode", safetyCode}, {"buildSecret", buildSecret},
        {"openSecret", openSecret},
    };

    QFile in;
    if (!in.open(stdin, QIODevice::ReadOnly)) {
        write({{QStringLiteral("error"), QStringLiteral("cannot read standard input")}});
        return 2;
    }
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(in.readAll(), &parseError);
    try {
        if (parseError.error != QJsonParseError::NoError || !doc.isObject())
            throw Malformed{QStringLiteral("the request must be one JSON object")};
        const Request request(doc.object());
        const auto op = ops.find(request.str("op"));
        if (op == ops.end())
            throw Malformed{QStringLiteral("unknown \"op\"")};
        try {
            write(op->second(request));
        } catch (const Error &e) {
            write({{QStringLiteral("error"), e.message()}});
        }
        return 0;
    } catch (const Malformed &m) {
        write({{QStringLiteral("error"), QStringLiteral("malformed request: ") + m.why}});
        return 2;
    }
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    return run();
}
