#include "capture/PulseCapture.h"

#include "capture/CaptureFile.h"
#include "capture/MicrophoneActivityMonitor.h"
#include "capture/RecorderError.h"

#include <pulse/pulseaudio.h>
#include <pulse/rtclock.h>

#include <algorithm>
#include <cmath>

namespace {

constexpr pa_sample_spec kSampleSpec { PA_SAMPLE_FLOAT32LE, CaptureFile::kSampleRate, 1 };
// A tenth of a second per delivery keeps wake-ups (and CPU) low while the
// capture file still gets data well within each one-second fragment.
constexpr pa_usec_t kFragmentUsec = 100'000;
// How long stop waits for the samples captured before the stop moment. Real
// devices deliver them within a fragment; the monitor of an idle sink may
// hold them back for up to its maximum latency of two seconds.
constexpr pa_usec_t kDrainUsec = 3'000'000;

std::exception_ptr recorderError(RecorderError::Kind kind)
{
    return std::make_exception_ptr(RecorderError(kind));
}

class MainLoopLock
{
public:
    explicit MainLoopLock(pa_threaded_mainloop* loop)
        : m_loop(loop)
    {
        pa_threaded_mainloop_lock(m_loop);
    }
    MainLoopLock(const MainLoopLock&) = delete;
    MainLoopLock& operator=(const MainLoopLock&) = delete;
    ~MainLoopLock() { pa_threaded_mainloop_unlock(m_loop); }

private:
    pa_threaded_mainloop* m_loop;
};

void unref(pa_operation* operation)
{
    if (operation) {
        pa_operation_unref(operation);
    }
}

// Named as Tallisen, so the microphone monitor of any Tallisen process
// leaves this capture out (the window must not auto-record the CLI's).
pa_context* newContext(pa_mainloop_api* api)
{
    pa_proplist* properties = pa_proplist_new();
    pa_proplist_sets(properties, PA_PROP_APPLICATION_ID, MicrophoneActivityMonitor::kOwnApplicationId);
    pa_context* context = pa_context_new_with_proplist(api, "Tallisen", properties);
    pa_proplist_free(properties);
    return context;
}

} // namespace

PulseCapture::PulseCapture(Sources sources, Listener listener)
    : m_sources(std::move(sources))
    , m_listener(std::move(listener))
{
    static_assert(CaptureFile::kTrackCount == 2);
    for (int track = 0; track < CaptureFile::kTrackCount; ++track) {
        m_streams[track].owner = this;
        m_streams[track].track = track;
    }
    m_loop = pa_threaded_mainloop_new();
    m_context = m_loop ? newContext(pa_threaded_mainloop_get_api(m_loop)) : nullptr;
    if (!m_context || pa_threaded_mainloop_start(m_loop) < 0) {
        teardown();
        throw RecorderError(RecorderError::Kind::soundServerUnavailable);
    }
}

PulseCapture::~PulseCapture()
{
    teardown();
    if (m_file) {
        try {
            m_file->finish();
        } catch (const std::exception&) {
            // Everything up to the last fragment is already on disk.
        }
    }
}

void PulseCapture::teardown()
{
    if (m_loop) {
        pa_threaded_mainloop_stop(m_loop);
    }
    if (m_drainDeadline) {
        pa_threaded_mainloop_get_api(m_loop)->time_free(m_drainDeadline);
        m_drainDeadline = nullptr;
    }
    for (Stream& stream : m_streams) {
        if (stream.handle) {
            pa_stream_set_state_callback(stream.handle, nullptr, nullptr);
            pa_stream_set_read_callback(stream.handle, nullptr, nullptr);
            pa_stream_unref(stream.handle);
            stream.handle = nullptr;
        }
    }
    if (m_context) {
        pa_context_set_state_callback(m_context, nullptr, nullptr);
        pa_context_disconnect(m_context);
        pa_context_unref(m_context);
        m_context = nullptr;
    }
    if (m_loop) {
        pa_threaded_mainloop_free(m_loop);
        m_loop = nullptr;
    }
}

void PulseCapture::connect(std::shared_ptr<RecordingCompletion> checked)
{
    MainLoopLock lock(m_loop);
    m_pending = std::move(checked);
    m_phase = Phase::connecting;
    pa_context_set_state_callback(m_context, &contextChanged, this);
    const QByteArray server = m_sources.server.toUtf8();
    if (pa_context_connect(
            m_context, server.isEmpty() ? nullptr : server.constData(), PA_CONTEXT_NOAUTOSPAWN, nullptr)
        < 0) {
        m_pending->resolve(recorderError(RecorderError::Kind::soundServerUnavailable));
    }
}

void PulseCapture::startStreams(
    std::unique_ptr<CaptureFile> file, std::shared_ptr<RecordingCompletion> started)
{
    MainLoopLock lock(m_loop);
    m_file = std::move(file);
    m_pending = std::move(started);
    m_phase = Phase::starting;
    openStream(m_streams[0], m_sources.systemAudio, "System audio");
    openStream(m_streams[1], m_sources.microphone, "Microphone");
}

void PulseCapture::detachOutput()
{
    MainLoopLock lock(m_loop);
    if (m_failureReported || m_outputDone) {
        return;
    }
    if (pa_context_get_state(m_context) != PA_CONTEXT_READY) {
        std::rethrow_exception(serverError(QStringLiteral("The sound server connection is gone")));
    }
    m_phase = Phase::detaching;
    m_detachUsec = pa_rtclock_now();
    pa_time_event* deadline = pa_context_rttime_new(m_context, m_detachUsec + kDrainUsec, &drainEnded, this);
    if (!deadline) {
        std::rethrow_exception(
            serverError(QStringLiteral("The sound server could not time the end of recording")));
    }
    m_drainDeadline = deadline;
}

void PulseCapture::drainEnded(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* self)
{
    auto* capture = static_cast<PulseCapture*>(self);
    if (capture->m_phase != Phase::detaching || capture->m_outputDone) {
        return;
    }
    capture->readAvailable(capture->m_streams[0]);
    capture->readAvailable(capture->m_streams[1]);
    capture->finishOutput();
}

void PulseCapture::stopStreams(std::shared_ptr<RecordingCompletion> stopped)
{
    MainLoopLock lock(m_loop);
    m_pending = std::move(stopped);
    m_phase = Phase::stopping;
    if (pa_context_get_state(m_context) == PA_CONTEXT_READY) {
        for (Stream& stream : m_streams) {
            const pa_stream_state_t state
                = stream.handle ? pa_stream_get_state(stream.handle) : PA_STREAM_UNCONNECTED;
            if (state == PA_STREAM_READY || state == PA_STREAM_CREATING) {
                pa_stream_disconnect(stream.handle);
            }
        }
    }
    if (pa_context_get_state(m_context) != PA_CONTEXT_READY || allStopped()) {
        m_pending->resolve();
    }
}

bool PulseCapture::allStopped() const
{
    for (const Stream& stream : m_streams) {
        if (!stream.handle) {
            continue;
        }
        const pa_stream_state_t state = pa_stream_get_state(stream.handle);
        if (state != PA_STREAM_TERMINATED && state != PA_STREAM_FAILED && state != PA_STREAM_UNCONNECTED) {
            return false;
        }
    }
    return true;
}

void PulseCapture::contextChanged(pa_context* context, void* self)
{
    auto* capture = static_cast<PulseCapture*>(self);
    switch (pa_context_get_state(context)) {
    case PA_CONTEXT_READY:
        if (capture->m_phase == Phase::connecting) {
            unref(pa_context_get_source_info_by_name(
                context, capture->m_sources.systemAudio.constData(), &systemSourceFound, capture));
        }
        return;
    case PA_CONTEXT_FAILED:
    case PA_CONTEXT_TERMINATED:
        break;
    default:
        return;
    }
    const std::exception_ptr lost
        = capture->serverError(QStringLiteral("The connection to the sound server was lost"));
    switch (capture->m_phase) {
    case Phase::connecting:
    case Phase::starting:
        capture->m_pending->resolve(recorderError(RecorderError::Kind::soundServerUnavailable));
        return;
    case Phase::checked:
        return;
    case Phase::recording:
    case Phase::detaching:
        capture->reportStreamFailure(lost);
        capture->reportOutputFailure(lost);
        return;
    case Phase::stopping:
        capture->m_pending->resolve(lost);
        return;
    }
}

void PulseCapture::systemSourceFound(pa_context* context, const pa_source_info* info, int eol, void* self)
{
    auto* capture = static_cast<PulseCapture*>(self);
    if (info) {
        capture->m_sourceFound = true;
        return;
    }
    if (eol < 0 || !capture->m_sourceFound) {
        capture->m_pending->resolve(recorderError(RecorderError::Kind::noOutputDevice));
        return;
    }
    capture->m_sourceFound = false;
    unref(pa_context_get_source_info_by_name(
        context, capture->m_sources.microphone.constData(), &microphoneFound, capture));
}

void PulseCapture::microphoneFound(pa_context*, const pa_source_info* info, int eol, void* self)
{
    auto* capture = static_cast<PulseCapture*>(self);
    if (info) {
        capture->m_sourceFound = true;
        // With no microphone, the default source falls back to a sink's
        // monitor; recording that would capture the system audio twice.
        capture->m_microphoneIsMonitor = info->monitor_of_sink != PA_INVALID_INDEX;
        return;
    }
    if (eol < 0 || !capture->m_sourceFound || capture->m_microphoneIsMonitor) {
        capture->m_pending->resolve(recorderError(RecorderError::Kind::microphonePermissionDenied));
        return;
    }
    capture->m_phase = Phase::checked;
    capture->m_pending->resolve();
}

void PulseCapture::openStream(Stream& stream, const QByteArray& source, const char* name)
{
    const auto missing = pa_context_get_state(m_context) != PA_CONTEXT_READY
        ? RecorderError::Kind::soundServerUnavailable
        : stream.track == 0 ? RecorderError::Kind::noOutputDevice
                            : RecorderError::Kind::microphonePermissionDenied;
    stream.handle = pa_stream_new(m_context, name, &kSampleSpec, nullptr);
    if (!stream.handle) {
        m_pending->resolve(recorderError(missing));
        return;
    }
    pa_stream_set_state_callback(stream.handle, &streamChanged, &stream);
    pa_stream_set_read_callback(stream.handle, &streamReadable, &stream);
    pa_buffer_attr attributes {};
    attributes.maxlength = static_cast<uint32_t>(-1);
    attributes.tlength = static_cast<uint32_t>(-1);
    attributes.prebuf = static_cast<uint32_t>(-1);
    attributes.minreq = static_cast<uint32_t>(-1);
    attributes.fragsize = static_cast<uint32_t>(pa_usec_to_bytes(kFragmentUsec, &kSampleSpec));
    // Pinned to its device: when the device goes away the stream fails and
    // the recording counts as interrupted, instead of quietly continuing on
    // whatever source the server picks (possibly the microphone, twice).
    const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
    if (pa_stream_connect_record(stream.handle, source.constData(), &attributes, flags) < 0) {
        m_pending->resolve(recorderError(missing));
    }
}

void PulseCapture::streamChanged(pa_stream* handle, void* entry)
{
    auto& stream = *static_cast<Stream*>(entry);
    PulseCapture* capture = stream.owner;
    switch (pa_stream_get_state(handle)) {
    case PA_STREAM_READY:
        stream.readyUsec = pa_rtclock_now();
        if (capture->m_phase == Phase::starting && capture->m_streams[0].readyUsec
            && capture->m_streams[1].readyUsec) {
            capture->m_phase = Phase::recording;
            capture->m_pending->resolve();
        }
        return;
    case PA_STREAM_FAILED:
        break;
    case PA_STREAM_TERMINATED:
        if (capture->m_phase == Phase::stopping && capture->allStopped()) {
            capture->m_pending->resolve();
        }
        return;
    default:
        return;
    }
    const std::exception_ptr failure = capture->serverError(stream.track == 0
            ? QStringLiteral("The sound server stopped recording the system audio")
            : QStringLiteral("The sound server stopped recording the microphone"));
    switch (capture->m_phase) {
    case Phase::connecting:
    case Phase::checked:
        return;
    case Phase::starting:
        capture->m_pending->resolve(
            recorderError(stream.track == 0 ? RecorderError::Kind::noOutputDevice
                                            : RecorderError::Kind::microphonePermissionDenied));
        return;
    case Phase::recording:
    case Phase::detaching:
        capture->reportStreamFailure(failure);
        capture->reportOutputFailure(failure);
        return;
    case Phase::stopping:
        capture->m_pending->resolve(failure);
        return;
    }
}

void PulseCapture::streamReadable(pa_stream*, size_t, void* entry)
{
    auto& stream = *static_cast<Stream*>(entry);
    stream.owner->readAvailable(stream);
}

void PulseCapture::notePeak(int track, const float* samples, qint64 count)
{
    float peak = 0;
    for (qint64 i = 0; i < count; ++i) {
        peak = std::max(peak, std::abs(samples[i]));
    }
    float held = m_peaks[track].load(std::memory_order_relaxed);
    while (peak > held && !m_peaks[track].compare_exchange_weak(held, peak, std::memory_order_relaxed)) { }
}

float PulseCapture::takePeak(int track)
{
    return std::min(m_peaks[track].exchange(0.0F, std::memory_order_relaxed), 1.0F);
}

void PulseCapture::readAvailable(Stream& stream)
{
    // Until both streams are ready the common zero is unknown; the server
    // keeps the data meanwhile.
    if (!m_streams[0].readyUsec || !m_streams[1].readyUsec) {
        return;
    }
    while (!m_outputDone && m_file) {
        const void* data = nullptr;
        size_t bytes = 0;
        if (pa_stream_peek(stream.handle, &data, &bytes) < 0 || bytes == 0) {
            break;
        }
        const auto count = static_cast<qint64>(bytes / sizeof(float));
        try {
            if (!stream.started) {
                placeFirstSamples(stream);
            }
            // A hole (no data) means the server lost samples; silence keeps the tracks in step.
            if (data) {
                m_file->append(stream.track, static_cast<const float*>(data), count);
                notePeak(stream.track, static_cast<const float*>(data), count);
            } else {
                m_file->appendSilence(stream.track, count);
            }
        } catch (const std::exception&) {
            reportOutputFailure(std::current_exception());
        }
        pa_stream_drop(stream.handle);
    }
    if (m_phase == Phase::detaching && !m_outputDone && reachedDetach(m_streams[0])
        && reachedDetach(m_streams[1])) {
        finishOutput();
    }
}

// The output ends once both tracks hold everything captured up to the moment
// stop was asked for, so the last words before Stop are kept.
bool PulseCapture::reachedDetach(const Stream& stream) const
{
    const pa_usec_t origin = std::min(m_streams[0].readyUsec, m_streams[1].readyUsec);
    const auto wanted = static_cast<qint64>((m_detachUsec - origin) * CaptureFile::kSampleRate / 1'000'000);
    return stream.started && m_file->length(stream.track) >= wanted;
}

// A record stream's first sample is the one its source produced when the
// server created the stream, however late the data reaches us (a busy
// machine may read it a second later). So each track starts at the moment
// its stream became ready; the later one is padded with silence, which keeps
// the true offset between system audio and microphone in the file.
void PulseCapture::placeFirstSamples(Stream& stream)
{
    stream.started = true;
    const pa_usec_t origin = std::min(m_streams[0].readyUsec, m_streams[1].readyUsec);
    m_file->appendSilence(stream.track,
        static_cast<qint64>((stream.readyUsec - origin) * CaptureFile::kSampleRate / 1'000'000));
}

void PulseCapture::finishOutput()
{
    if (m_outputDone) {
        return;
    }
    try {
        m_file->finish();
    } catch (const std::exception&) {
        reportOutputFailure(std::current_exception());
        return;
    }
    m_outputDone = true;
    m_listener.outputFinished();
}

void PulseCapture::reportStreamFailure(std::exception_ptr error)
{
    if (m_failureReported) {
        return;
    }
    m_failureReported = true;
    m_listener.streamFailed(std::move(error));
}

void PulseCapture::reportOutputFailure(std::exception_ptr error)
{
    if (m_outputDone) {
        return;
    }
    m_outputDone = true;
    m_failureReported = true;
    m_listener.outputFailed(std::move(error));
}

std::exception_ptr PulseCapture::serverError(const QString& what) const
{
    const int code = m_context ? pa_context_errno(m_context) : PA_ERR_UNKNOWN;
    return std::make_exception_ptr(
        SoundServerError(QStringLiteral("%1: %2.").arg(what, QString::fromUtf8(pa_strerror(code))), code));
}
