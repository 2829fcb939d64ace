#pragma once

#include <QString>

#include <stdexcept>

// The recorder's own failures; what() is the sentence shown to the user.
class RecorderError : public std::runtime_error
{
public:
    enum class Kind
    {
        noOutputDevice,
        notRecording,
        noAudio,
        cannotMix,
        soundServerUnavailable,
        microphonePermissionDenied,
        finalizationTimedOut,
    };

    explicit RecorderError(Kind kind);

    Kind kind() const { return m_kind; }
    static QString message(Kind kind);

private:
    Kind m_kind;
};

// A failure reported by the sound server itself (a stream or the connection
// died), kept apart from RecorderError so callers can tell the two apart.
class SoundServerError : public std::runtime_error
{
public:
    SoundServerError(const QString& sentence, int code);

    int code() const { return m_code; }

private:
    int m_code;
};
