#include "simtrail.h"

#include <algorithm>

QStringList trail(const QList<sim::Event> &events)
{
    QStringList out;
    for (const sim::Event &e : events) {
        switch (e.kind) {
        case sim::Event::FindDevices: out << QStringLiteral("scan"); break;
        case sim::Event::Open: out << (e.result < 0 ? QStringLiteral("open failed") : QStringLiteral("open")); break;
        case sim::Event::SetConfiguration: out << QStringLiteral("config %1").arg(e.value); break;
        case sim::Event::ClaimInterface: out << QStringLiteral("claim %1").arg(e.value); break;
        case sim::Event::ReleaseInterface: out << QStringLiteral("release %1").arg(e.value); break;
        case sim::Event::Close: out << QStringLiteral("close"); break;
        case sim::Event::Bulk: out << QStringLiteral("bulk"); break;
        case sim::Event::Control:
            out << QStringLiteral("%1:%2").arg(e.requestType, 2, 16, QLatin1Char('0')).arg(e.request, 2, 16, QLatin1Char('0'));
            break;
        }
    }
    return out;
}

QStringList deviceTrail(const QList<sim::Event> &events)
{
    QStringList out = trail(events);
    out.removeAll(QStringLiteral("scan"));
    return out;
}

int requestCount(const QList<sim::Event> &events, int request)
{
    return int(std::count_if(events.begin(), events.end(), [request](const sim::Event &e) {
        return e.kind == sim::Event::Control && e.request == request && e.requestType != 0x80;
    }));
}
