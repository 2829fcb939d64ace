"""Prints the comparison table of one bench/run from the benchmarks' JSON."""
import json
import sys
from pathlib import Path


def benchmarks(results, name):
    return json.loads((results / f"{name}.json").read_text())["benchmarks"]


def find(entries, prefix, aggregate=None):
    for entry in entries:
        if entry["name"].startswith(prefix) and entry.get("aggregate_name") == aggregate:
            if entry.get("error_occurred"):
                sys.exit(f"bench/run: {entry['name']} failed: {entry.get('error_message')}")
            return entry
    sys.exit(f"bench/run: no result for {prefix}")


def main():
    results = Path(sys.argv[1])
    minutes = int(sys.argv[2])
    mix = find(benchmarks(results, "mix"), "BM_MixLongCapture")
    chunker = benchmarks(results, "chunk")
    split = find(chunker, "BM_Split/file")
    cuts = find(chunker, "BM_FfmpegCommand/file")
    capture = find(benchmarks(results, "capture"), "BM_CaptureCpu")
    monitor = find(benchmarks(results, "monitor"), "BM_ActiveExternalClients", "median")
    pipeline = benchmarks(results, "pipeline")
    upload = find(pipeline, "BM_SpeakerDetectionUpload")
    short_job = find(pipeline, "BM_TranscribeJob/30")
    long_job = find(pipeline, "BM_TranscribeJob/120")
    model = find(benchmarks(results, "model"), "constructWithThousandJobs")
    server = find(benchmarks(results, "server"), "BM_ListRecordings")
    attacked = find(benchmarks(results, "server"), "BM_AnswersUnderSlowClients")

    monitor_cpu_ms = monitor["cpu_time"] + monitor["serverCpuUs"] / 1000
    rows = [
        (f"Mix a {minutes}-minute two-track capture: wall", mix["mixSeconds"], "s", mix["ffmpegSeconds"], "ffmpeg amix"),
        ("  CPU time", mix["mixCpuSeconds"], "s", mix["ffmpegCpuSeconds"], "ffmpeg amix"),
        ("  peak memory", mix["mixPeakMB"], "MiB", mix["ffmpegPeakMB"], "ffmpeg amix"),
        (f"Chunk that {minutes}-minute mix: wall", split["real_time"], "s", cuts["real_time"],
         f"{int(split['chunks'])} ffmpeg -ss/-to"),
        ("  CPU time", split["cpuSeconds"], "s", cuts["cpuSeconds"], "ffmpeg -ss/-to"),
        ("  peak memory", split["peakRssMiB"], "MiB", cuts["peakRssMiB"], "largest ffmpeg"),
        ("  memory the split adds", split["addedRssMiB"], "MiB", None, ""),
        (f"Capture CPU ({capture['captureSeconds']:.0f} s recording)", capture["cpuPercentOfOneCore"], "% core", 2,
         "goal"),
        ("Microphone check: wall per call", monitor["real_time"], "ms", 2, "goal"),
        ("  CPU per call (app + sound server)", monitor_cpu_ms, "ms", 5, "goal (0.5 % at 1/s)"),
        ("Pipeline extra memory: 2-hour job", long_job["peakGrowthMiB"], "MiB", short_job["peakGrowthMiB"],
         "30-minute job"),
        ("  1 GB speaker-detection upload", upload["peakGrowthMiB"], "MiB", 64, "goal"),
        ("Start-up with 1,000 pending jobs", model["real_time"], "ms", 500, "goal"),
        ("Server: transcript list, 32 clients", server["items_per_second"], "req/s", None, ""),
        ("  /health, /v1/me under 72 slow clients: worst", attacked["worst_s"], "s", 1, "goal"),
    ]

    print()
    print((results / "machine.txt").read_text().strip())
    print()
    header = f"{'Measure':<44} {'Tallisen':>14} {'Reference':>32} {'Ratio':>7}"
    print(header)
    print("-" * len(header))
    for label, ours, unit, reference, what in rows:
        mine = f"{ours:.1f} {unit}" if ours >= 1 else f"{ours:.2f} {unit}"
        if reference is None:
            print(f"{label:<44} {mine:>14} {'—':>32} {'—':>7}")
            continue
        theirs = f"{reference:.1f} {unit} {what}" if reference >= 1 else f"{reference:.2f} {unit} {what}"
        if what.startswith("goal"):
            theirs = f"≤ {theirs}"
        ratio = f"{ours / reference:.2f}" if reference else "—"
        print(f"{label:<44} {mine:>14} {theirs:>32} {ratio:>7}")
    print()
    print("Ratio = Tallisen ÷ reference: below 1 is faster, smaller or within the goal.")
    ready = mix["mixSeconds"] + split["real_time"]
    print(f"A {minutes}-minute meeting is mixed and chunked, ready to upload, in {ready / 60:.1f} min "
          f"(the ffmpeg commands: {(mix['ffmpegSeconds'] + cuts['real_time']) / 60:.1f} min).")


main()
