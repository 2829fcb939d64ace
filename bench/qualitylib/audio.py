"""16 kHz mono 16-bit audio as array('h'): reading, writing, levels, pitch."""
import array
import math
import operator
import statistics
import subprocess
import wave

RATE = 16000


def ffmpeg_to_wav(source, target, input_format=None):
    """Decodes any source ffmpeg reads into a 16 kHz mono s16 WAV."""
    command = ["ffmpeg", "-nostdin", "-loglevel", "error", "-y"]
    if input_format == "raw":
        command += ["-f", "s16le", "-ar", str(RATE), "-ac", "1"]
    elif input_format:
        command += ["-f", input_format]
    command += ["-i", str(source), "-ar", str(RATE), "-ac", "1", "-c:a", "pcm_s16le", str(target)]
    subprocess.run(command, check=True)


def read_wav(path):
    with wave.open(str(path), "rb") as file:
        if file.getframerate() != RATE or file.getnchannels() != 1 or file.getsampwidth() != 2:
            raise ValueError(f"{path}: expected 16 kHz mono 16-bit")
        samples = array.array("h")
        samples.frombytes(file.readframes(file.getnframes()))
        return samples


def write_wav(path, samples):
    with wave.open(str(path), "wb") as file:
        file.setnchannels(1)
        file.setsampwidth(2)
        file.setframerate(RATE)
        file.writeframes(samples.tobytes())


def to_int16(values):
    """Rounds floats to 16-bit samples, clipping rather than wrapping."""
    return array.array("h", (32767 if v > 32767 else -32768 if v < -32768 else int(round(v)) for v in values))


def rms(samples):
    if not samples:
        return 0.0
    return math.sqrt(sum(map(operator.mul, samples, samples)) / len(samples))


def dbfs(level):
    return 20 * math.log10(max(level, 1e-9) / 32768)


def frame_levels(samples, frame=160):
    """RMS of every 10 ms frame."""
    return [rms(samples[i:i + frame]) for i in range(0, len(samples) - frame + 1, frame)]


def voiced_bounds(samples, below_peak_db=35.0, frame=160):
    """(first, last) sample of the frames within below_peak_db of the loudest frame."""
    levels = frame_levels(samples, frame)
    if not levels or max(levels) == 0:
        return None
    floor = max(levels) * 10 ** (-below_peak_db / 20)
    voiced = [i for i, level in enumerate(levels) if level >= floor]
    return voiced[0] * frame, (voiced[-1] + 1) * frame


def median_pitch(clips, most_frames=200):
    """Median voice pitch in Hz over the loud frames of the clips (autocorrelation at 8 kHz)."""
    frames = []
    for samples in clips:
        down = [(samples[i] + samples[i + 1]) / 2 for i in range(0, len(samples) - 1, 2)]
        size, hop = 320, 160
        candidates = [down[i:i + size] for i in range(0, len(down) - size, hop)]
        loudest = max((rms(c) for c in candidates), default=0)
        frames += [c for c in candidates if rms(c) > loudest * 0.1]
    if not frames:
        return None
    step = max(1, len(frames) // most_frames)
    pitches = []
    for frame in frames[::step]:
        mean = sum(frame) / len(frame)
        frame = [x - mean for x in frame]
        energy = sum(map(operator.mul, frame, frame))
        best_lag, best = 0, 0.5
        # 60 to 400 Hz: every adult and child voice.
        for lag in range(20, 134):
            r = sum(map(operator.mul, frame, frame[lag:])) / energy * len(frame) / (len(frame) - lag)
            if r > best:
                best_lag, best = lag, r
        if best_lag:
            pitches.append(8000 / best_lag)
    return statistics.median(pitches) if pitches else None
