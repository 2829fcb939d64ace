"""Scores of one transcript against the truth: WER (sclite), speaker-attributed word
accuracy, speakers and paragraphs, and the diarization error rate (md-eval)."""
import itertools
import re
import subprocess
from pathlib import Path

SCLITE = "/usr/lib/sctk/bin/sclite"
MD_EVAL = "/usr/lib/sctk/bin/md-eval.pl"
UNASSIGNED = "Unassigned"
# The brute-force name mapping tries every permutation: 8! is still instant.
MOST_MAPPED_SPEAKERS = 8

_PARAGRAPH = re.compile(r"^\[(?:\d+:\d\d:\d\d|time unavailable)\] (.+?): (.*)$", re.S)


def words(text):
    """Lower case, punctuation removed (apostrophes inside words kept), split on white space."""
    text = text.lower().replace("-", " ")
    text = re.sub(r"[^a-z0-9' ]+", " ", text)
    return [w.strip("'") for w in text.split() if w.strip("'")]


def paragraphs(transcript):
    """[(speaker name, [words])] of a saved transcript; a paragraph without the
    "[time] Name: " head counts as Unassigned."""
    result = []
    for block in re.split(r"\n\s*\n", transcript.strip()):
        block = block.strip()
        if not block:
            continue
        match = _PARAGRAPH.match(block)
        if match:
            result.append((match[1].strip(), words(match[2])))
        else:
            result.append((UNASSIGNED, words(block)))
    return result


def align(reference, hypothesis):
    """Levenshtein alignment of two word lists: [(ref index or None, hyp index or None)],
    preferring matches, then substitutions, on ties."""
    n, m = len(reference), len(hypothesis)
    cost = [[0] * (m + 1) for _ in range(n + 1)]
    for i in range(1, n + 1):
        cost[i][0] = i
    for j in range(1, m + 1):
        cost[0][j] = j
    for i in range(1, n + 1):
        row, previous, word = cost[i], cost[i - 1], reference[i - 1]
        for j in range(1, m + 1):
            diagonal = previous[j - 1] + (word != hypothesis[j - 1])
            row[j] = min(diagonal, previous[j] + 1, row[j - 1] + 1)
    pairs = []
    i, j = n, m
    while i > 0 or j > 0:
        if i > 0 and j > 0 and cost[i][j] == cost[i - 1][j - 1] + (reference[i - 1] != hypothesis[j - 1]):
            pairs.append((i - 1, j - 1))
            i, j = i - 1, j - 1
        elif i > 0 and cost[i][j] == cost[i - 1][j] + 1:
            pairs.append((i - 1, None))
            i -= 1
        else:
            pairs.append((None, j - 1))
            j -= 1
    pairs.reverse()
    return pairs


def best_mapping(counts):
    """The one-to-one map {hyp name: ref speaker} maximising the words it gets right;
    counts[(ref speaker, hyp name)] is the number of correct words so labelled."""
    refs = sorted({r for r, _ in counts})
    totals = {}
    for (r, h), n in counts.items():
        if h != UNASSIGNED:
            totals[h] = totals.get(h, 0) + n
    hyps = sorted(totals, key=lambda h: -totals[h])[:MOST_MAPPED_SPEAKERS]
    refs = refs[:MOST_MAPPED_SPEAKERS]
    best, best_score = {}, -1
    if len(hyps) >= len(refs):
        choices = ((dict(zip(p, refs))) for p in itertools.permutations(hyps, len(refs)))
    else:
        choices = ((dict(zip(hyps, p))) for p in itertools.permutations(refs, len(hyps)))
    for mapping in choices:
        score = sum(counts.get((r, h), 0) for h, r in mapping.items())
        if score > best_score:
            best, best_score = mapping, score
    return best


def attributed_accuracy(reference, hypothesis, heard_only=True):
    """Share of reference words placed in a paragraph whose name maps to their speaker.
    With heard_only, a word counts only when it was also heard right; without, a misheard
    word still counts by the paragraph its substitute stands in (a word never written
    stays wrong), which measures the speakers apart from the recogniser's errors.
    reference: [(speaker, word)]; hypothesis: [(name, word)]."""
    if not reference:
        return 0.0
    pairs = align([w for _, w in reference], [w for _, w in hypothesis])
    counts = {}
    for i, j in pairs:
        if i is not None and j is not None and (not heard_only or reference[i][1] == hypothesis[j][1]):
            key = (reference[i][0], hypothesis[j][0])
            counts[key] = counts.get(key, 0) + 1
    mapping = best_mapping(counts)
    right = sum(n for (r, h), n in counts.items() if mapping.get(h) == r)
    return right / len(reference)


def speakers_found(hypothesis_paragraphs):
    return len({name for name, _ in hypothesis_paragraphs if name != UNASSIGNED})


def write_trn(path, utterances):
    """utterances: [(id, [words])]; sclite takes the id's part before "_" as the speaker."""
    with open(path, "w") as file:
        for name, utterance in utterances:
            file.write(" ".join(utterance) + f" ({name}_1)\n")


def read_trn(path):
    """The words of a one-utterance file written by write_trn."""
    return Path(path).read_text().rsplit(" (", 1)[0].split()


def sclite_wer(folder, name, reference, hypotheses):
    """Runs sclite on reference vs each hypothesis: {hypothesis label: (WER %, ref words)}.
    reference: [(id, [words])]; hypotheses: {label: [(id, [words])]}."""
    folder = Path(folder)
    ref = folder / f"{name}.ref.trn"
    write_trn(ref, reference)
    results = {}
    for label, utterances in hypotheses.items():
        hyp = folder / f"{name}.{label}.trn"
        write_trn(hyp, utterances)
        output = subprocess.run([SCLITE, "-r", str(ref), "trn", "-h", str(hyp), "trn", "-i", "rm",
                                 "-o", "sum", "stdout"], check=True, capture_output=True, text=True).stdout
        results[label] = parse_sclite_sum(output)
    return results


def parse_sclite_sum(output):
    """(WER %, reference words) from the Sum/Avg row of sclite's summary."""
    for line in output.splitlines():
        if "Sum/Avg" in line:
            cells = line.replace("|", " ").split()
            # Sum/Avg, #Snt, #Wrd, Corr, Sub, Del, Ins, Err, S.Err
            return float(cells[7]), int(cells[2])
    raise ValueError("sclite printed no Sum/Avg row")


def rttm(path, file_id, segments):
    """segments: [(start, end, speaker)] in seconds."""
    with open(path, "w") as out:
        for start, end, speaker in segments:
            if end > start:
                label = re.sub(r"\s+", "_", str(speaker))
                out.write(f"SPEAKER {file_id} 1 {start:.3f} {end - start:.3f} <NA> <NA> {label} <NA> <NA>\n")


def md_eval_der(reference_rttm, hypothesis_rttm, collar=0.25):
    """The overall diarization error rate in percent, without a UEM (md-eval scores
    from the first to the last segment of either file)."""
    output = subprocess.run(["perl", MD_EVAL, "-c", str(collar), "-r", str(reference_rttm),
                             "-s", str(hypothesis_rttm)], check=True, capture_output=True, text=True).stdout
    return parse_der(output)


def parse_der(output):
    match = re.search(r"OVERALL SPEAKER DIARIZATION ERROR = +([\d.]+) percent", output)
    if not match:
        raise ValueError("md-eval printed no overall diarization error")
    return float(match[1])
