#pragma once

#include "capture/MicrophoneClient.h"

#include <QList>
#include <QString>

#include <chrono>
#include <optional>

// Which other processes are capturing from the microphone right now, asked of
// the sound server (PulseAudio, or PipeWire through pipewire-pulse) as its
// list of recording streams.
//
// Stateless: every call opens its own connection and main loop, so it may be
// called from any thread. A call is synchronous but bounded by its timeout,
// so a hung sound server costs the caller at most that long.
namespace MicrophoneActivityMonitor {

inline constexpr std::chrono::milliseconds kDefaultTimeout { 500 };

// The external clients with a running, non-monitor recording stream, leaving
// out this process, level meters and always-on audio tools; sorted by name.
// Throws SoundServerMonitorError when the server cannot be reached or cannot
// list its streams (with PA_ERR_TIMEOUT when it does not answer in time).
QList<MicrophoneClient> activeExternalClients(std::chrono::milliseconds timeout = kDefaultTimeout);

// True for audio tools that hold the microphone open all the time, whose
// streams say nothing about a call.
bool shouldIgnore(const QString& name, const std::optional<QString>& bundleIdentifier);

} // namespace MicrophoneActivityMonitor
