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
// Each thread keeps one connection and main loop of its own, so it may be
// called from any thread; every call asks for the lists afresh, and a
// connection that broke (the server restarted, or PULSE_SERVER changed) is
// made again. A call is synchronous but bounded by its timeout, so a hung
// sound server costs the caller at most that long.
namespace MicrophoneActivityMonitor {

inline constexpr std::chrono::milliseconds kDefaultTimeout { 500 };

// The application.id every Tallisen capture gives the sound server, so that
// the streams of all Tallisen processes (the window, tallisen-cli) are left
// out, not only this process's own.
inline constexpr const char* kOwnApplicationId = "com.tallisen.Tallisen";

// The external clients with a running, non-monitor recording stream, leaving
// out Tallisen's own processes, level meters and always-on audio tools;
// sorted by name.
// Throws SoundServerMonitorError when the server cannot be reached or cannot
// list its streams (with PA_ERR_TIMEOUT when it does not answer in time).
QList<MicrophoneClient> activeExternalClients(std::chrono::milliseconds timeout = kDefaultTimeout);

// True for audio tools that hold the microphone open all the time, whose
// streams say nothing about a call.
bool shouldIgnore(const QString& name, const std::optional<QString>& bundleIdentifier);

} // namespace MicrophoneActivityMonitor
