#include "capture/RecorderError.h"

RecorderError::RecorderError(Kind kind)
    : std::runtime_error(message(kind).toStdString())
    , m_kind(kind)
{ }

QString RecorderError::message(Kind kind)
{
    switch (kind) {
    case Kind::noOutputDevice:
        return QStringLiteral("No audio output is available to capture.");
    case Kind::notRecording:
        return QStringLiteral("No recording is active.");
    case Kind::noAudio:
        return QStringLiteral("The capture did not contain system or microphone audio.");
    case Kind::cannotMix:
        return QStringLiteral("The system and microphone tracks could not be mixed.");
    case Kind::soundServerUnavailable:
        return QStringLiteral(
            "Tallisen cannot reach the sound server (PipeWire or PulseAudio). Make sure it is "
            "running, then try again.");
    case Kind::microphonePermissionDenied:
        return QStringLiteral("No microphone is available. Connect one or allow Tallisen to use it in your "
                              "system's sound or privacy settings, then try again.");
    case Kind::finalizationTimedOut:
        return QStringLiteral("The sound server did not finish recording shutdown within 30 seconds.");
    }
    return {};
}

SoundServerError::SoundServerError(const QString& sentence, int code)
    : std::runtime_error(sentence.toStdString())
    , m_code(code)
{ }
