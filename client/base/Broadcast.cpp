#include "base/Broadcast.h"

Broadcast &Broadcast::center()
{
    // Never destroyed: subscribers may outlive any static destruction order.
    static Broadcast *const hub = new Broadcast;
    return *hub;
}

void Broadcast::post(const QString &name, const QVariant &object)
{
    emit center().posted(name, object);
}
