"""Meetings with known turns, built from real voices and flite, mixed as the app mixes."""
import array
import random
import subprocess
from dataclasses import dataclass, field
from pathlib import Path

from . import audio

TESTDATA = Path("/usr/share/pocketsphinx/test/data")
ALLISON = Path("/usr/share/asterisk/sounds/en_US_f_Allison")
# Each track goes into the app's mixer at this gain (TrackMixer::kSharedGain).
SHARED_GAIN = 0.7
MIXED_BIT_RATE = "64k"
# Between the clips of one turn: a breath, shorter than any pause between turns.
CLIP_GAP = 0.25

# The Asterisk prompts used, by file name, and their wording. The package holds no
# text; each was checked against PocketSphinx's output for gross mismatches.
ALLISON_TEXTS = {
    "hello-world": "hello world",
    "vm-goodbye": "goodbye",
    "im-sorry": "i'm sorry",
    "one-moment-please": "one moment please",
    "please-try-again": "please try again",
    "tt-weasels": "weasels have eaten our phone system",
    "something-terribly-wrong": "something is terribly wrong",
    "all-circuits-busy-now": "all circuits are busy now",
    "please-try-call-later": "please try your call again later",
    "vm-intro": "please leave your message after the tone when done hang up or press the pound key",
    "vm-youhave": "you have",
    "vm-nomore": "no more messages",
    "vm-msgsaved": "your message has been saved",
    "auth-thankyou": "thank you",
    "auth-incorrect": "password incorrect please enter your password followed by the pound key",
    "queue-thankyou": "thank you for your patience",
    "conf-onlyperson": "you are currently the only person in this conference",
    "conf-locked": "this conference is locked",
    "conf-kicked": "you have been kicked from this conference",
    "conf-getpin": "please enter the conference pin number",
    "conf-invalidpin": "that pin is invalid for this conference",
    "conf-getconfno": "please enter your conference number followed by the pound key",
    "cannot-complete-as-dialed": "your call cannot be completed as dialed",
    "check-number-dial-again": "please check the number and dial again",
    "dir-welcome": "welcome to the directory",
    "dir-nomatch": "no directory entries match your search",
    "if-correct-press": "if this is correct press",
    "call-forwarding": "call forwarding",
    "call-waiting": "call waiting",
    "do-not-disturb": "do not disturb",
    "telephone-number": "telephone number",
    "transfer": "please hold while i try that extension",
    "queue-holdtime": "the estimated hold time is currently",
    "queue-youarenext": "your call is now first in line and will be answered by the next available representative",
    "vm-theperson": "the person at extension",
    "vm-isunavail": "is unavailable",
    "vm-isonphone": "is on the phone",
    "number-not-answering": "the number is not answering",
    "vm-nobodyavail": "nobody is available to take your call at the moment",
}

# Real voices of pocketsphinx-testdata whose words its own files state: the LibriVox
# and cards transcriptions, goforward.gram's one sentence.
GOFORWARD_TEXT = "go forward ten meters"


@dataclass
class Clip:
    speaker: str
    text: str
    samples: array.array


@dataclass
class Turn:
    speaker: str
    clips: list


@dataclass
class Meeting:
    name: str
    description: str
    turns: list  # [Turn]; consecutive turns have different speakers
    pauses: list  # seconds of silence before turn i + 1
    level_dbfs: float = None  # peak of the whole meeting, when set
    snr_db: float = None  # pink noise under the speech, when set
    recorded: bool = False  # played through the sound server and recorded
    # Filled by build():
    samples: array.array = None
    tracks: tuple = None  # (system-side samples, microphone-side samples)
    sides: dict = field(default_factory=dict)  # speaker -> 0 (system) or 1 (microphone)
    truth: list = field(default_factory=list)  # [(start, end, speaker)] voiced span of each clip
    reference: list = field(default_factory=list)  # [(speaker, word)]

    @property
    def speakers(self):
        return sorted({t.speaker for t in self.turns})

    @property
    def seconds(self):
        return len(self.samples) / audio.RATE


class Library:
    """Every clip, decoded once to 16 kHz mono, trimmed to its voiced span."""

    def __init__(self, folder, repo):
        self.folder = Path(folder)
        self.folder.mkdir(parents=True, exist_ok=True)
        self.repo = Path(repo)
        self.clips = {}

    def _load(self, key, source, input_format, speaker, text):
        if key not in self.clips:
            wav = self.folder / f"{key.replace('/', '_')}.wav"
            audio.ffmpeg_to_wav(source, wav, input_format)
            samples = audio.read_wav(wav)
            bounds = audio.voiced_bounds(samples)
            pad = audio.RATE // 20
            start, end = max(0, bounds[0] - pad), min(len(samples), bounds[1] + pad)
            self.clips[key] = Clip(speaker, text, samples[start:end])
        return self.clips[key]

    def _listed(self, folder, listing, index):
        """A clip named in one of pocketsphinx-testdata's "text (file id)" transcription lists."""
        line = (TESTDATA / folder / listing).read_text().splitlines()[index]
        file_id = line[line.rindex("(") + 1:line.rindex(")")]
        text = line[:line.rindex("(")].replace("<s>", "").replace("</s>", "").strip()
        return self._load(f"{folder}-{index}", TESTDATA / folder / f"{file_id}.wav", None, folder, text)

    def librivox(self, index):
        return self._listed("librivox", "transcription", index)

    def cards(self, index):
        return self._listed("cards", "cards.transcription", index)

    def goforward(self):
        return self._load("goforward", TESTDATA / "goforward.raw", "raw", "goforward", GOFORWARD_TEXT)

    def allison(self, prompt):
        return self._load(f"allison-{prompt}", ALLISON / f"{prompt}.g722", "g722", "allison",
                          ALLISON_TEXTS[prompt])

    def flite(self, voice, text):
        key = f"flite-{voice}-{len(self.clips)}"
        spoken = self.folder / f"{key}.raw.wav"
        subprocess.run(["flite", "-voice", voice, "-t", text, "-o", str(spoken)], check=True)
        return self._load(key, spoken, None, voice, text)


def demo_turns(repo, count=None):
    """(voice, text) of scripts/demo's meeting, the first `count` turns."""
    turns = []
    for line in (Path(repo) / "scripts" / "demo-meeting.txt").read_text().splitlines():
        if line and not line.startswith("#"):
            voice, text = line.split("|", 1)
            turns.append((voice, text))
    return turns[:count] if count else turns


def varied_pauses(count, seed):
    """Pauses between 0.3 and 1.5 s, the same every run."""
    choices = random.Random(seed)
    return [round(choices.uniform(0.3, 1.5), 2) for _ in range(count)]


def build(meeting, noise_folder):
    """Lays the turns on a timeline, split into the two sides the app records (speakers
    alternate between system audio and microphone), mixes them at the mixer's gain, then
    sets the level or adds pink noise."""
    rate = audio.RATE
    position = 0.5
    sides = {}
    placed = []
    for index, turn in enumerate(meeting.turns):
        if index:
            position += meeting.pauses[index - 1]
        side = sides.setdefault(turn.speaker, len(sides) % 2)
        for k, clip in enumerate(turn.clips):
            if k:
                position += CLIP_GAP
            start = int(round(position * rate))
            placed.append((start, clip, side))
            meeting.truth.append((start / rate, (start + len(clip.samples)) / rate, turn.speaker))
            meeting.reference += [(turn.speaker, w) for w in clip.text.split()]
            position = (start + len(clip.samples)) / rate
    length = int(round((position + 0.7) * rate))
    tracks = (array.array("h", bytes(2 * length)), array.array("h", bytes(2 * length)))
    for start, clip, side in placed:
        tracks[side][start:start + len(clip.samples)] = clip.samples
    meeting.tracks = tracks
    meeting.sides = sides
    mixed = [SHARED_GAIN * (a + b) for a, b in zip(*tracks)]
    if meeting.level_dbfs is not None:
        peak = max(abs(x) for x in mixed)
        gain = 32768 * 10 ** (meeting.level_dbfs / 20) / peak
        mixed = [x * gain for x in mixed]
    if meeting.snr_db is not None:
        mixed = add_pink_noise(mixed, meeting.truth, meeting.snr_db, noise_folder / f"{meeting.name}-noise.wav")
    meeting.samples = audio.to_int16(mixed)
    return meeting


def add_pink_noise(mixed, truth, snr_db, noise_wav):
    """Pink noise at snr_db below the speech, the speech's power taken over its clips only."""
    seconds = len(mixed) / audio.RATE
    subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                    f"anoisesrc=color=pink:sample_rate={audio.RATE}:amplitude=0.5:seed=19:duration={seconds:.3f}",
                    "-ac", "1", "-c:a", "pcm_s16le", str(noise_wav)], check=True)
    noise = audio.read_wav(noise_wav)
    noise = noise[:len(mixed)] + array.array("h", bytes(2 * max(0, len(mixed) - len(noise))))
    speech = array.array("d")
    for start, end, _ in truth:
        speech.extend(mixed[int(start * audio.RATE):int(end * audio.RATE)])
    gain = audio.rms(speech) / audio.rms(noise) * 10 ** (-snr_db / 20)
    return [x + gain * n for x, n in zip(mixed, noise)]


def encode_m4a(wav, m4a, coding=("-b:a", MIXED_BIT_RATE)):
    """Mono 48 kHz AAC in an M4A, by default the app's mixed recording."""
    subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-i", str(wav), "-ar", "48000", "-ac", "1",
                    "-c:a", "aac", *coding, "-f", "ipod", str(m4a)], check=True)
