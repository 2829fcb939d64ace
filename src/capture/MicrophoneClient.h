#pragma once

#include <QHashFunctions>
#include <QString>

#include <functional>

// One other process that is capturing from the microphone right now.
struct MicrophoneClient
{
    qint32 processID = 0;
    QString name;

    friend bool operator==(const MicrophoneClient&, const MicrophoneClient&) = default;
};

inline size_t qHash(const MicrophoneClient& client, size_t seed = 0) noexcept
{
    return qHashMulti(seed, client.processID, client.name);
}

template <> struct std::hash<MicrophoneClient>
{
    size_t operator()(const MicrophoneClient& client) const noexcept { return qHash(client); }
};
