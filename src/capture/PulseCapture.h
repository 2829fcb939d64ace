#pragma once

// The sound-server side of one recording: a libpulse threaded main loop, one
// context and two record streams (system audio, microphone) whose samples go
// straight into a CaptureFile on the main loop's thread.
//
// Threads: the public functions are called from one thread (the recorder's);
// they only lock the main loop and queue work. Every outcome (ready, output
// finished or failed, stream failed, streams stopped) is reported on the main
// loop's thread, through a RecordingCompletion or a Listener callback; the
// listener must hand the event to its own thread and do nothing else there.
// After the destructor returns, no callback runs any more.

#include "capture/RecordingCompletion.h"

#include <QByteArray>
#include <QString>

#include <atomic>
#include <exception>
#include <functional>
#include <memory>

class CaptureFile;
struct pa_context;
struct pa_stream;
struct pa_threaded_mainloop;
struct pa_source_info;
struct pa_mainloop_api;
struct pa_time_event;
struct timeval;

class PulseCapture
{
public:
    struct Sources
    {
        // Empty: libpulse's default (PULSE_SERVER, then the user's runtime dir).
        QString server;
        // Resolved by the server, so these follow the user's current defaults.
        QByteArray systemAudio = QByteArrayLiteral("@DEFAULT_MONITOR@");
        QByteArray microphone = QByteArrayLiteral("@DEFAULT_SOURCE@");
    };

    struct Listener
    {
        std::function<void()> outputFinished;
        std::function<void(std::exception_ptr)> outputFailed;
        // Called at most once per capture, for the first stream or connection failure.
        std::function<void(std::exception_ptr)> streamFailed;
    };

    PulseCapture(Sources sources, Listener listener);
    PulseCapture(const PulseCapture&) = delete;
    PulseCapture& operator=(const PulseCapture&) = delete;
    // Stops the main loop, then finishes the capture file if it was not.
    ~PulseCapture();

    // Connects and checks that both sources exist and that the microphone is
    // not a monitor; resolves `checked` with success or a RecorderError.
    void connect(std::shared_ptr<RecordingCompletion> checked);
    // Starts both streams into `file`; `started` resolves once both deliver.
    void startStreams(std::unique_ptr<CaptureFile> file, std::shared_ptr<RecordingCompletion> started);
    // Keeps reading until both tracks reach the moment of this call (for at
    // most three seconds), then writes the trailer and reports outputFinished or outputFailed. Throws
    // SoundServerError when the server cannot be asked; does nothing when a
    // failure has already been reported.
    void detachOutput();
    // Disconnects both streams; `stopped` resolves when the server confirms.
    void stopStreams(std::shared_ptr<RecordingCompletion> stopped);
    // The loudest sample of a track (0 system audio, 1 microphone) since the
    // last call, 0 to 1, for a level meter; callable from any thread.
    float takePeak(int track);

private:
    enum class Phase
    {
        connecting,
        checked,
        starting,
        recording,
        detaching,
        stopping
    };
    struct Stream
    {
        PulseCapture* owner = nullptr;
        int track = 0;
        pa_stream* handle = nullptr;
        bool started = false;
        // When the stream became ready, on libpulse's monotonic clock.
        uint64_t readyUsec = 0;
    };

    static void contextChanged(pa_context* context, void* self);
    static void systemSourceFound(pa_context* context, const pa_source_info* info, int eol, void* self);
    static void microphoneFound(pa_context* context, const pa_source_info* info, int eol, void* self);
    static void streamChanged(pa_stream* stream, void* entry);
    static void streamReadable(pa_stream* stream, size_t bytes, void* entry);
    static void drainEnded(
        pa_mainloop_api* api, pa_time_event* event, const struct timeval* time, void* self);

    void openStream(Stream& stream, const QByteArray& source, const char* name);
    void readAvailable(Stream& stream);
    void notePeak(int track, const float* samples, qint64 count);
    void placeFirstSamples(Stream& stream);
    bool reachedDetach(const Stream& stream) const;
    void finishOutput();
    void reportStreamFailure(std::exception_ptr error);
    void reportOutputFailure(std::exception_ptr error);
    std::exception_ptr serverError(const QString& what) const;
    bool allStopped() const;
    void teardown();

    Sources m_sources;
    Listener m_listener;
    pa_threaded_mainloop* m_loop = nullptr;
    pa_context* m_context = nullptr;
    // System audio, then microphone: the track numbers of the capture file.
    Stream m_streams[2];
    std::unique_ptr<CaptureFile> m_file;
    std::shared_ptr<RecordingCompletion> m_pending;
    Phase m_phase = Phase::connecting;
    bool m_sourceFound = false;
    bool m_microphoneIsMonitor = false;
    bool m_failureReported = false;
    bool m_outputDone = false;
    uint64_t m_detachUsec = 0;
    std::atomic<float> m_peaks[2] { 0.0F, 0.0F };
    pa_time_event* m_drainDeadline = nullptr;
};
