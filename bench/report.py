#!/usr/bin/env python3
"""Turns the raw results that bench/run.sh leaves in a folder into markdown.

    python3 bench/report.py RESULTS_DIR

Reads meta.env, hf_*.json (hyperfine exports, one per group and round),
rss.tsv, cg.tsv, cg_top_*.txt, perf_*.txt and sanity.txt; writes markdown to
standard output.  Medians are taken over the runs of every round together.
"""
import glob
import json
import os
import statistics
import sys

MiB = 1024 * 1024

# name in hyperfine, file set, the row its ratio is taken against and the target
# for that ratio (None: no target), the target for the ratio to the probe.
CAT_FILES = "cat FILES > /dev/null"
ROWS = [
    (CAT_FILES, "main", CAT_FILES, None, None),
    ("probe FILES", "main", CAT_FILES, None, None),
    ("probe -r FILES", "main", CAT_FILES, None, None),
    ("framelint FILES > /dev/null", "main", CAT_FILES, 0.6, 1.4),
    ("framelint -s FILES > /dev/null", "main", CAT_FILES, 0.7, None),
    ("cat FILES | cat > /dev/null", "main", CAT_FILES, None, None),
    ("framelint -s FILES | cat > /dev/null", "main", "cat FILES | cat > /dev/null", 1.1, None),
    ("framelint -sf FILES > /dev/null", "main", CAT_FILES, None, None),
    ("framelint -i -a FILES > /dev/null", "main", CAT_FILES, 0.6, None),
    ("framelint -c FILES > /dev/null", "main", CAT_FILES, 1.0, None),
    ("mp3val FILES > /dev/null", "main", CAT_FILES, None, None),
    ("cat CRC > /dev/null", "crc", "cat CRC > /dev/null", None, None),
    ("probe CRC", "crc", "cat CRC > /dev/null", None, None),
    ("framelint CRC > /dev/null", "crc", "cat CRC > /dev/null", 1.0, None),
    ("framelint -c CRC > /dev/null", "crc", "cat CRC > /dev/null", None, None),
    ("cat LONG > /dev/null", "long", "cat LONG > /dev/null", None, None),
    ("probe LONG", "long", "cat LONG > /dev/null", None, None),
    ("framelint - < LONG > /dev/null", "long", "cat LONG > /dev/null", 0.7, None),
    ("framelint LONG > /dev/null", "long", "cat LONG > /dev/null", None, None),
    ("cat LONG | cat > /dev/null", "long", "cat LONG > /dev/null", None, None),
    ("cat LONG | framelint - > /dev/null", "long", "cat LONG | cat > /dev/null", 1.2, None),
    ("cat TINY > /dev/null", "tiny", "cat TINY > /dev/null", None, None),
    ("probe TINY", "tiny", "cat TINY > /dev/null", None, None),
    ("framelint TINY > /dev/null", "tiny", "cat TINY > /dev/null", 0.5, None),
    ("mp3val TINY > /dev/null", "tiny", "cat TINY > /dev/null", None, None),
    ("cat ONE > /dev/null", "one", "cat ONE > /dev/null", None, None),
    ("ffmpeg -v error -i ONE -f null -", "one", CAT_FILES, None, None),
]
PROBE_OF_SET = {"main": "probe FILES", "crc": "probe CRC", "long": "probe LONG", "tiny": "probe TINY"}
RSS_TARGET_KIB = 8 * 1024


def read_meta(d):
    meta = {}
    with open(os.path.join(d, "meta.env")) as f:
        for line in f:
            line = line.rstrip("\n")
            if "=" in line:
                k, v = line.split("=", 1)
                meta[k] = v
    return meta


def read_tsv(path):
    if not os.path.exists(path):
        return []
    with open(path) as f:
        return [line.rstrip("\n").split("\t") for line in f if line.strip()]


def collect_runs(d):
    runs = {}
    for path in sorted(glob.glob(os.path.join(d, "hf_*.json"))):
        with open(path) as f:
            data = json.load(f)
        for r in data["results"]:
            e = runs.setdefault(r["command"], {"times": [], "user": [], "system": [], "codes": set()})
            e["times"].extend(r["times"])
            e["user"].append((r["user"], len(r["times"])))
            e["system"].append((r["system"], len(r["times"])))
            e["codes"].update(r.get("exit_codes") or [])
    return runs


def weighted_mean(pairs):
    n = sum(k for _, k in pairs)
    return sum(v * k for v, k in pairs) / n if n else float("nan")


def fmt_s(x):
    return f"{x:.4f}" if x < 1 else f"{x:.3f}"


def main():
    d = sys.argv[1]
    meta = read_meta(d)
    runs = collect_runs(d)
    rss = {row[0]: int(row[1]) for row in read_tsv(os.path.join(d, "rss.tsv")) if len(row) == 2 and row[1].isdigit()}
    set_bytes = {
        "main": int(meta["main_bytes"]),
        "long": int(meta["long_bytes"]),
        "tiny": int(meta["tiny_bytes"]),
        "one": int(meta["one_bytes"]),
        "crc": int(meta.get("crc_bytes", "0")),
    }
    set_label = {
        "main": f"main corpus: {meta['main_files']} files, {int(meta['main_bytes']) / MiB:.0f} MiB",
        "long": f"one long file: {meta['long_name']}, {int(meta['long_bytes']) / MiB:.0f} MiB",
        "tiny": f"tiny corpus: {meta['tiny_files']} files, {int(meta['tiny_bytes']) / MiB:.1f} MiB",
        "one": f"one file for ffmpeg: {meta['one_name']}, {int(meta['one_bytes']) / MiB:.1f} MiB",
        "crc": f"of which CRC-protected: {meta.get('crc_files', '0')} files, "
               f"{int(meta.get('crc_bytes', '0')) / MiB:.0f} MiB",
    }
    medians = {name: statistics.median(e["times"]) for name, e in runs.items()}

    out = []
    p = out.append
    p("# framelint benchmark results")
    p("")
    p(f"- Date: {meta['date']}")
    p(f"- Machine: {meta['nproc']} cores (`nproc`), {meta['cpu']}, {meta['mem']} RAM, Linux {meta['kernel']}; "
      "shared with other work, so expect noise")
    p(f"- CPU model: {meta['cpu']}; CRC-related flags: {meta.get('cpu_flags', '?').strip() or 'none'}")
    p(f"- framelint: {meta['framelint_rev']} ({meta['framelint_build']})")
    p(f"- Tools: {meta['tools']}")
    p(f"- Load average before / after timing: {meta['load_before']} / {meta['load_after']}")
    p(f"- Page cache: {meta['cache']}")
    p(f"- Runs: {meta['rounds']} rounds x {meta['runs']} runs per command (hyperfine --warmup 1 each round; "
      f"rounds interleave the commands); ffmpeg: {meta['rounds']} x {meta['ffmpeg_runs']}. "
      "Median over all runs.")
    p(f"- Output check before timing: {meta['reference_status']}")
    p(f"- Command: `{meta['command']}`")
    p("")
    p("Ratio to cat = median time / median time of `cat` over the same files (for a pipe, of the same pipe "
      "through `cat`). Ratio to probe = median time / median time of the probe over the same files: "
      "`probe` maps each file in 1 MiB windows and reads one byte every 400 (`bench/touch_pages.c`), the floor "
      "for a checker that looks at every page; `probe -r` reads the files into a 128 KiB buffer instead. "
      "MiB/s = bytes of the file set / median. "
      "user and sys are hyperfine's means. Peak RSS: `/usr/bin/time -f %M`, one run. "
      "The ffmpeg row (†) is scaled by bytes: its seconds per byte on one file over `cat FILES`'s seconds per "
      "byte on the main corpus.")
    p("")
    p("| files | command | median s | user s | sys s | ratio to cat | ratio to probe | MiB/s | peak RSS MiB | target |")
    p("| --- | --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: | --- |")
    last_set = None
    for name, fset, cat_name, target, probe_target in ROWS:
        if name not in runs:
            continue
        e = runs[name]
        med = medians[name]
        if fset == "one" and cat_name != name:
            ratio = (med / set_bytes["one"]) / (medians[cat_name] / set_bytes["main"])
            ratio_s = f"{ratio:.0f}x †"
        else:
            ratio = med / medians[cat_name]
            ratio_s = f"{ratio:.2f}x"
            if cat_name != CAT_FILES and cat_name.startswith("cat") and "|" in cat_name:
                ratio_s += " (to the pipe)"
        probe_name = PROBE_OF_SET.get(fset)
        probe_ratio = med / medians[probe_name] if probe_name in medians else None
        probe_s = f"{probe_ratio:.2f}x" if probe_ratio is not None else ""
        mibs = set_bytes[fset] / MiB / med
        r = rss.get(name)
        rss_s = f"{r / 1024:.1f}" if r is not None else "?"
        verdict = []
        if target is not None:
            verdict.append(f"<= {target}x {'met' if ratio <= target else 'NOT met'}")
        if probe_target is not None and probe_ratio is not None:
            verdict.append(f"<= {probe_target}x probe {'met' if probe_ratio <= probe_target else 'NOT met'}")
        if "framelint" in name and r is not None:
            verdict.append(f"RSS {'met' if r <= RSS_TARGET_KIB else 'NOT met'}")
        codes = sorted(e["codes"])
        fset_s = set_label[fset] if fset != last_set else ""
        last_set = fset
        cmd = f"`{name}`" + (f" (exit {','.join(map(str, codes))})" if codes and codes != [0] else "")
        p(f"| {fset_s} | {cmd} | {fmt_s(med)} | {fmt_s(weighted_mean(e['user']))} | "
          f"{fmt_s(weighted_mean(e['system']))} | {ratio_s} | {probe_s} | {mibs:.0f} | {rss_s} | {'; '.join(verdict)} |")
    p("")
    p("FILES = every file of the main corpus on one command line; TINY = all tiny files on one command line; "
      "LONG = the one long file; ONE = one main-corpus file; CRC = the main corpus's CRC-protected files "
      "(lame -p, twolame -p), whose frame bodies the default check runs a CRC over. framelint exits 255 on the main corpus because "
      "of its three deliberately damaged files (dmg_*), as it should; hyperfine runs with -i.")
    p("")

    cg = read_tsv(os.path.join(d, "cg.tsv"))
    if cg:
        p("## Instructions (callgrind, user space only, does not drift with load)")
        p("")
        p(f"On {meta['long_name']} ({int(meta['long_bytes']) / MiB:.1f} MiB, a clean lame VBR stream); CRC1 is "
          "the first CRC-protected file of the main corpus. The kernel's work (read, page faults, copy to "
          "/dev/null) is not counted.")
        p("")
        p("| command | instructions | per MiB scanned |")
        p("| --- | ---: | ---: |")
        for mode, ir, nbytes in cg:
            p(f"| `{mode}` | {int(ir):,} | {int(ir) / (int(nbytes) / MiB):,.0f} |")
        p("")
        tops = sorted(glob.glob(os.path.join(d, "cg_top_*.txt")))
        for path in tops:
            label = open(path).readline().strip()
            p(f"Top functions by own instructions, `{label}`:")
            p("")
            p("```")
            with open(path) as f:
                lines = f.read().splitlines()[1:]
            p("\n".join(lines))
            p("```")
            p("")

    perfs = sorted(glob.glob(os.path.join(d, "perf_*.txt")))
    if perfs:
        p("## Where the time goes (perf record -e cpu-clock, main corpus, user and kernel)")
        p("")
        for path in perfs:
            with open(path) as f:
                lines = f.read().splitlines()
            p(f"`{lines[0]}`:")
            p("")
            p("```")
            p("\n".join(lines[1:]))
            p("```")
            p("")

    sanity = os.path.join(d, "sanity.txt")
    if os.path.exists(sanity):
        p("## Counts against the corpus manifest")
        p("")
        with open(sanity) as f:
            p(f.read().rstrip("\n"))
        p("")
    sys.stdout.write("\n".join(out) + "\n")


if __name__ == "__main__":
    main()
