"""docs/quality.md from one full run."""
import datetime
import platform
import subprocess


def markdown(lines, results, pitches, targets, build_dir, minutes, repo):
    head, *body = lines
    table = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    table += ["| " + " | ".join(str(c) for c in line) + " |" for line in body]
    commit = subprocess.run(["git", "-C", str(repo), "rev-parse", "--short", "HEAD"],
                            capture_output=True, text=True).stdout.strip()
    cpu = next((l.split(":", 1)[1].strip() for l in open("/proc/cpuinfo") if l.startswith("model name")), "?")
    described = "\n".join(f"- **{r['name']}** ({r['seconds']:.0f} s, {r['words']} words): {r['description']}"
                          for r in results)
    offsets = "".join(f"\nThe recorded meeting's system side started {r['offsets'][0]:.2f} s and its microphone side "
                      f"{r['offsets'][1]:.2f} s into the recording."
                      for r in results if r["offsets"] is not None)
    pitch = ", ".join(f"{s} {p:.0f} Hz" for s, p in pitches if p)
    return f"""# Transcript quality over the whole road

Measured by `bench/quality` (release build: `{build_dir}`) on
{datetime.date.today().isoformat()}, {platform.node()} ({cpu}, {subprocess.run(['nproc'], capture_output=True, text=True).stdout.strip()} cores shared with other builds),
commit {commit}; the run took {minutes:.1f} minutes.

```
bench/quality
```

{chr(10).join(table)}

Targets: attributed accuracy {targets['attributed_flite']} on flite-demo, {targets['attributed_real']} on the
real-voice meetings of 2 to 4 speakers; DER {targets['der_clean']} clean, {targets['der_noisy']} on "noisy";
speakers found {targets['speakers']} on every meeting; paragraphs = {targets['paragraphs']};
Δ (road − own) {targets['delta']}.

## Meetings

{described}
{offsets}

Median voice pitch (autocorrelation over the loudest frames): {pitch}. The similar-pitch pair is
the LibriVox reader and the cards speaker (two male voices, less than a fifth of an octave apart).

## How each figure is computed

- Each meeting is laid out as turns of clips trimmed to their voiced span, with pauses of
  0.3–1.5 s (0.6 s for flite-demo), speakers alternating between the app's two sides, each side at
  the mixer's gain 0.7, then encoded as mono 48 kHz AAC 64 kb/s M4A. "quiet" is scaled to a
  −25 dBFS peak; "noisy" has ffmpeg's pink noise 15 dB below the speech (speech power over the
  clips only). The M4A is left as a pending job (job.json as the app writes it), `tallisen-cli retry`
  carries it through the real server, and the saved transcript is read back from GET /v1/recordings.
- "recorded" is played through the private sound server (one side to the speaker, one into the
  microphone) while `tallisen-cli record --speakers` runs; its truth is the built meeting shifted by
  the lag maximising the cross-correlation of the 10 ms loudness envelopes of recording and meeting.
- WER: `sclite -i rm` on lower-case words, punctuation removed, time stamps and names stripped.
  "own" is the same engine on the meeting's 16 kHz PCM WAV POSTed to /v1/transcriptions (the server
  accepts WAV); "M4A" is the same engine on the very M4A the road starts from (the recorded
  meeting's kept mix), POSTed whole, so road − M4A is what the road's cuts, overlaps and merges
  cost and M4A − own what the AAC coding costs; Δ = road − own in points. The overall row pools
  every meeting's words.
- Attributed: reference words aligned to transcript words (Levenshtein); a word is right when it
  matches and its paragraph's name maps to its speaker under the best one-to-one mapping of names
  (brute force); "Unassigned" is always wrong.
- Speaker right: the same, but a misheard word counts by the paragraph its substitute stands in
  (a word left out entirely is still wrong): the speakers' share, apart from the recogniser's errors.
- Speakers found: distinct paragraph names other than "Unassigned"; turns are runs of one speaker;
  paragraphs are the transcript's paragraphs.
- DER: `md-eval.pl -c 0.25` of the server's segments (GET /v1/diarizations/ID) against one reference
  segment per clip, without a UEM (scored from the first to the last segment of either file).
"""
