"""The benchmark's report: a table on standard output and in bench-results.txt, every run and
the summary in bench-results.json, and a chart of the launcher / baseline ratios in
bench-ratios.png."""

import json
import os
import statistics

SCENARIOS = ("fresh install", "update 5%", "up-to-date start", "rollback")
BUILDS = (("linux", "Linux Release"), ("windows", "Windows, Wine"))
# Compression on the wire: a fresh install of compiled code should fetch at most this share of
# the client's bytes.
CODE_KINDS = ("compiled-code", "compiled-code-smoke")
SERVED_SHARE_TARGET = 0.45


def _summary(runs):
    good = [r for r in runs if r["exit"] == 0]
    if not good:
        return None
    seconds = [r["seconds"] for r in good]
    rss = [r["peak_rss_kib"] for r in good if r.get("peak_rss_kib") is not None]
    cpu = [r["cpu_seconds"] for r in good if r.get("cpu_seconds") is not None]
    written = [r["written_bytes"] for r in good if r.get("written_bytes") is not None]
    disk = [r["install_root_bytes"] for r in good if r.get("install_root_bytes") is not None]
    return {
        "runs": len(runs),
        "failed_runs": len(runs) - len(good),
        "median_seconds": statistics.median(seconds),
        "min_seconds": min(seconds),
        "max_seconds": max(seconds),
        "stdev_seconds": statistics.stdev(seconds) if len(seconds) > 1 else 0.0,
        "peak_rss_mib": max(rss) / 1024 if rss else None,
        "median_cpu_seconds": statistics.median(cpu) if cpu else None,
        "median_written_bytes": statistics.median(written) if written else None,
        "install_root_bytes": max(disk) if disk else None,
        "requests": good[0].get("requests"),
        "bytes_served": good[0].get("bytes_served"),
        "bytes_expected": good[0].get("bytes_expected"),
        "served_as_expected": all(r.get("served_as_expected", True) for r in runs),
    }


def summarise(results):
    wine_plain = wine = None
    if results.get("wine_empty_program"):
        wine_plain = _summary(results["wine_empty_program"])
    if results.get("wine_empty_program_with_window"):
        wine = _summary(results["wine_empty_program_with_window"])
    summary = {"wine_empty_program": wine_plain, "wine_empty_program_with_window": wine,
               "clients": {}}
    for kind, entry in results["clients"].items():
        rows = {}
        for scenario in SCENARIOS:
            if scenario not in entry["runs"]["baseline"]:
                continue  # not measured for this client
            base = _summary(entry["runs"]["baseline"][scenario])
            row = {"baseline": base}
            for build, _ in BUILDS:
                if build not in entry["runs"]:
                    continue
                s = _summary(entry["runs"][build][scenario])
                if s and base:
                    s["ratio"] = s["median_seconds"] / base["median_seconds"]
                    if build == "windows" and wine:
                        # What is left once Wine's own start of a program that shows a window
                        # (as the launcher does) is taken away.
                        s["ratio_without_wine_start"] = (
                            max(s["median_seconds"] - wine["median_seconds"], 0.0)
                            / base["median_seconds"])
                row[build] = s
                if s and s["bytes_served"] is not None:
                    s["served_share_of_client"] = s["bytes_served"] / entry["bytes"]
            rows[scenario] = row
        summary["clients"][kind] = rows
    if results.get("pack_update"):
        summary["pack_update"] = _pack_summary(results["pack_update"])
    if results.get("repair"):
        summary["repair"] = _repair_summary(results["repair"])
    if results.get("real_update"):
        summary["real_update"] = _real_summary(results["real_update"])
    return summary


# The real update: v2 of two real builds served as published, without its patches, and as whole
# files. An update with patches should fetch at most this many times the bytes of zstd's own
# patches of the changed files.
REAL_VARIANTS = (("patches", "with patches"), ("chunks", "chunks only"), ("whole", "whole files"))
REAL_ZSTD_TARGET = 1.5


def _real_summary(entry):
    changes = entry["changes"]
    zstd = sum(c["zstd_bytes"] for c in changes)
    patches = [c["patch_bytes"] for c in changes if c["patch_bytes"] is not None]
    out = {"source": entry["source"]["label"], "fallback": entry["source"]["fallback"],
           "changed_files": len(changes), "changed_bytes": sum(c["new_bytes"] for c in changes),
           "zstd_bytes": zstd,
           "patched_files": len(patches), "patch_object_bytes": sum(patches),
           "publish_seconds": entry["publish_seconds"]["1.1.0"],
           "verify": entry["verify"]["exit"] == 0, "verify_seconds": entry["verify"]["seconds"],
           "builds": {}}
    for build, _ in BUILDS:
        runs = entry["runs"].get(build)
        if not runs:
            continue
        rows = {"fresh install": _summary(runs["fresh install"])}
        for variant, _ in REAL_VARIANTS:
            s = _summary(runs[variant])
            if s:
                # The manifest and its signature, of each variant's size, come with every update.
                s["file_bytes"] = s["bytes_served"] - entry["meta_bytes"][variant]
                s["ratio_to_zstd"] = s["file_bytes"] / zstd if zstd else None
                s["files_identical"] = all(r["files_identical"] for r in runs[variant])
            rows[variant] = s
        patched = rows["patches"]
        if patched and patched["ratio_to_zstd"] is not None:
            patched["met"] = patched["ratio_to_zstd"] <= REAL_ZSTD_TARGET
        out["builds"][build] = rows
    return out


def _real_table(summary):
    real = summary["real_update"]
    patches = real["patch_object_bytes"]
    lines = ["", f"real update: {real['source']}, from the same install of v1; "
                 f"changed files: {real['changed_files']}, {_mb(real['changed_bytes'])} MB whole",
             f"  zstd -19 --long=27 --patch-from over the changed files (the reference): "
             f"{real['zstd_bytes'] / 1e6:.3f} MB; the published patches: "
             + (f"{patches / 1e6:.3f} MB ({patches / real['zstd_bytes']:.2f}x) for "
                f"{real['patched_files']} of the {real['changed_files']} files"
                if real["patched_files"] else "none"),
             f"  kelvadon-publish took {real['publish_seconds']:.1f} s to publish v2 (after v1); "
             f"its verify of the website {'passed' if real['verify'] else 'FAILED'} in "
             f"{real['verify_seconds']:.1f} s"]
    header = (f"{'website':<14} {'who':<14} {'n':>2} {'median s':>9} {'peak MiB':>8} "
              f"{'req':>5} {'MB served':>9} {'MB files':>9} {'x zstd':>7} {'bytes ok':>8} "
              f"{'identical':>9}  target")
    lines += [header, "-" * len(header)]
    for build, label in BUILDS:
        rows = real["builds"].get(build)
        if not rows:
            continue
        fresh = rows["fresh install"]
        if fresh:
            lines.append(f"{'install v1':<14} {label:<14} {fresh['runs']:>2} "
                         f"{fresh['median_seconds']:>9.3f} {fresh['peak_rss_mib'] or 0:>8.0f} "
                         f"{fresh['requests']:>5} {_mb(fresh['bytes_served']):>9} {'':>9} "
                         f"{'':>7} {'yes' if fresh['served_as_expected'] else 'NO':>8}")
        for variant, name in REAL_VARIANTS:
            s = rows.get(variant)
            if not s:
                lines.append(f"{name:<14} {label:<14} {'':>2} {'failed':>9}")
                continue
            ratio = "-" if s["ratio_to_zstd"] is None else f"{s['ratio_to_zstd']:.2f}"
            ok = "yes" if s["served_as_expected"] else "NO"
            target = ("" if "met" not in s else
                      f"<= {REAL_ZSTD_TARGET}x zstd: {'met' if s['met'] else 'MISSED'}")
            lines.append(f"{name:<14} {label:<14} {s['runs']:>2} {s['median_seconds']:>9.3f} "
                         f"{s['peak_rss_mib'] or 0:>8.0f} {s['requests']:>5} "
                         f"{_mb(s['bytes_served']):>9} {_mb(s['file_bytes']):>9} {ratio:>7} "
                         f"{ok:>8} {'yes' if s['files_identical'] else 'NO':>9}  "
                         f"{target}".rstrip())
    lines.append("MB files: served less the manifest and signature. x zstd: MB files / the "
                 "reference. bytes ok: nginx served what the launcher's plan calls for. "
                 "identical: the installed v2 is the build's, byte for byte.")
    return lines


# Targets of the repair scenario: the files a start fetches against the deleted files' bytes, and
# --repair's time against openssl dgst over the same files.
REPAIR_FETCH_TARGET = 1.2
REPAIR_FULL_CHECK_TARGET = 1.3


def _repair_summary(entry):
    out = {"deleted_files": entry["deleted_files"], "deleted_bytes": entry["deleted_bytes"],
           "start": {}}
    for build, runs in entry["start"].items():
        s = _summary(runs)
        if s and s["bytes_served"] is not None:
            # The manifest and its signature come with every start, damaged or not.
            s["fetched_file_bytes"] = s["bytes_served"] - entry["meta_bytes"]
            s["fetched_ratio"] = s["fetched_file_bytes"] / entry["deleted_bytes"]
            s["met"] = s["fetched_ratio"] <= REPAIR_FETCH_TARGET
        out["start"][build] = s
    base = _summary(entry["full_check"]["baseline"])
    check = _summary(entry["full_check"]["linux"])
    if base and check:
        check["ratio"] = check["median_seconds"] / base["median_seconds"]
        check["met"] = check["ratio"] <= REPAIR_FULL_CHECK_TARGET
    out["full_check"] = {"bytes": entry["full_check_bytes"], "baseline": base, "linux": check}
    return out


def _repair_table(summary):
    repair = summary["repair"]
    lines = ["", f"repair: a start after {repair['deleted_files']} files of many-small "
                 f"({_mb(repair['deleted_bytes'])} MB) were deleted"]
    for build, label in BUILDS:
        s = repair["start"].get(build)
        if build not in repair["start"]:
            continue
        if not s:
            lines.append(f"  {label}: failed")
            continue
        lines.append(f"  {label}: median {s['median_seconds']:.3f} s, fetched "
                     f"{_mb(s['fetched_file_bytes'])} MB of files, {s['fetched_ratio']:.2f}x "
                     f"the deleted bytes (target {REPAIR_FETCH_TARGET}x: "
                     f"{'met' if s['met'] else 'MISSED'}), {s['peak_rss_mib']:.0f} MiB peak")
    check = repair["full_check"]
    lines.append(f"repair: --repair of few-large ({_mb(check['bytes'])} MB), Linux Release build")
    if check["baseline"] and check["linux"]:
        lines.append(f"  openssl dgst median {check['baseline']['median_seconds']:.3f} s, "
                     f"--repair median {check['linux']['median_seconds']:.3f} s, ratio "
                     f"{check['linux']['ratio']:.2f} (target {REPAIR_FULL_CHECK_TARGET}: "
                     f"{'met' if check['linux']['met'] else 'MISSED'}), "
                     f"{check['linux']['peak_rss_mib']:.0f} MiB peak")
    else:
        lines.append("  failed")
    return lines


PACK_EDITS = ("edit 1% in one place", "edit 1% in 20 places", "insertion of 1 MiB")


def _pack_summary(entry):
    """Per edit and build: bytes served as a share of the pack, time against the whole-file
    update (the baseline), peak memory, and whether each target is met."""
    targets = entry["targets"]
    rows = {}
    for label in PACK_EDITS:
        base = _summary(entry["runs"]["baseline"].get(label, []))
        row = {"baseline": base, "publisher": entry["publisher_figures"].get(label)}
        for build, _ in BUILDS:
            runs = entry["runs"].get(build, {}).get(label)
            s = _summary(runs) if runs else None
            if s is None:
                continue
            pack = entry["pack_bytes"]["1.0.0"]
            s["share_of_pack"] = s["bytes_served"] / pack
            s["statuses"] = runs[0].get("statuses")
            s["ratio"] = s["median_seconds"] / base["median_seconds"] if base else None
            s["meets_bytes"] = s["share_of_pack"] < targets["bytes_share"][label]
            s["meets_time"] = s["ratio"] is not None and s["ratio"] <= 1.0
            s["meets_memory"] = (s["peak_rss_mib"] is not None
                                 and s["peak_rss_mib"] <= targets["peak_mib"])
            row[build] = s
        rows[label] = row
    fresh = {}
    for build, _ in BUILDS:
        runs = entry["runs"].get(build, {}).get("fresh install")
        if runs:
            fresh[build] = _summary(runs)
    return {"edits": rows, "fresh install": fresh}


def _pack_table(results, summary):
    entry = results["pack_update"]
    pack = summary["pack_update"]
    targets = entry["targets"]
    lines = ["", f"pack update: a {entry['pack_bytes']['1.0.0'] / 2**20:.0f} MiB pack beside two "
             f"programs; the launcher holds 1.0.0 and updates to each edit (targets: bytes "
             f"served below the share given, time no slower than the whole-file update, peak "
             f"at most {targets['peak_mib']} MiB)"]
    header = (f"{'edit':<22} {'who':<14} {'n':>2} {'median s':>9} {'peak MiB':>8} {'req':>5} "
              f"{'MB served':>9} {'% of pack':>9} {'target':>7} {'ratio':>6} {'met':>9}")
    lines += [header, "-" * len(header)]
    for label, row in pack["edits"].items():
        target = f"< {targets['bytes_share'][label] * 100:.0f}%"
        base = row["baseline"]
        if base:
            lines.append(f"{label:<22} {'whole file':<14} {base['runs']:>2} "
                         f"{base['median_seconds']:>9.3f} {'':>8} {base['requests']:>5} "
                         f"{_mb(base['bytes_served']):>9}")
        for build, name in BUILDS:
            s = row.get(build)
            if s is None:
                continue
            peak = "-" if s["peak_rss_mib"] is None else f"{s['peak_rss_mib']:.0f}"
            ratio = "-" if s["ratio"] is None else f"{s['ratio']:.2f}"
            met = "".join(flag if ok else "-" for flag, ok in
                          (("B", s["meets_bytes"]), ("T", s["meets_time"]),
                           ("M", s["meets_memory"])))
            lines.append(f"{'':<22} {name:<14} {s['runs']:>2} {s['median_seconds']:>9.3f} "
                         f"{peak:>8} {s['requests']:>5} {_mb(s['bytes_served']):>9} "
                         f"{s['share_of_pack'] * 100:>8.2f}% {target:>7} {ratio:>6} {met:>9}")
        figures = row.get("publisher") or {}
        if figures:
            lines.append(f"{'':<22} kelvadon-publish predicted {_mb(figures.get('delta_bytes'))} "
                         f"MB with chunks, {_mb(figures.get('whole_file_bytes'))} MB whole")
    lines.append("met: B bytes, T time, M memory (a dash where the target is missed). ratio: "
                 "launcher median / whole-file update median. Bytes served include the manifest "
                 "and signature and, for a delta-aware launcher, the chunk lists.")
    return lines


def _disk_lines(entry, row):
    """What the update left on the disk and what it wrote, against the client and its change."""
    lines = []
    for build, label in BUILDS:
        s = row.get(build)
        if not s or s.get("install_root_bytes") is None or not entry.get("client_disk_bytes"):
            continue
        written = s.get("median_written_bytes")
        changed = entry["changed_bytes"]
        wrote = ("-" if written is None or not changed else
                 f"{_mb(written)} MB written, {written / changed:.2f}x the changed files' bytes")
        lines.append(f"{'':<17} {label}: after the update the InstallRoot (but the launcher) takes "
                     f"{s['install_root_bytes'] / entry['client_disk_bytes']:.2f}x the client's "
                     f"disk blocks; {wrote}")
    return lines


def _served_share_lines(kind, entry, row):
    """What a fresh install fetched against the client's size (with the target for compiled
    code), and the least the website's packed objects allow; for compiled code and any client
    with packed objects (noise has none)."""
    shares = [f"{label} {row[build]['bytes_served'] / entry['bytes'] * 100:.1f}% "
              f"({_mb(row[build]['bytes_served'])} MB)" for build, label in BUILDS if row.get(build)]
    if not shares or (kind not in CODE_KINDS and not entry.get("packed_files")):
        return []
    line = f"{'':<17} fresh install served / client size ({_mb(entry['bytes'])} MB): "
    line += ", ".join(shares)
    if kind in CODE_KINDS:
        met = all(row[b]["bytes_served"] <= SERVED_SHARE_TARGET * entry["bytes"]
                  for b, _ in BUILDS if row.get(b))
        line += f"; target <= {SERVED_SHARE_TARGET:.0%}: {'met' if met else 'MISSED'}"
    if "packed_bytes" not in entry:
        return [line]
    return [line, f"{'':<17} the website: {entry['packed_files']} of {entry['files']} files "
                  f"packed; their packed objects and the other files take "
                  f"{entry['packed_bytes'] / entry['bytes'] * 100:.1f}% of the client"]


def _rate(n):
    return "-" if n is None else f"{n / 1e6:.0f} MB/s"


def _load(machine):
    start = machine.get("load_average_at_start")
    end = machine.get("load_average_at_end")
    if not start or not end:
        return "-"
    return f"{start[0]:.1f} at the start, {end[0]:.1f} at the end (1-minute)"


def _mb(n):
    return "-" if n is None else f"{n / 1e6:.1f}"


def table(results, summary):
    lines = []
    machine = results["machine"]
    speed = machine.get("sha256_bytes_per_second")
    lines.append(f"Benchmark ({results['mode']} mode, seed {results['seed']}, "
                 f"{results['repetitions']} repetitions, {results['start_runs']} up-to-date "
                 f"starts)")
    lines.append(f"Machine: {machine['cpus']} CPUs, load average {_load(machine)}")
    lines.append(f"SHA-256 limit (openssl speed -evp sha256, 16 KiB blocks): {_rate(speed)}")
    if "cng_sha256_under_wine_bytes_per_second" in machine:
        lines.append(f"SHA-256 of CNG (BCryptHash, 64 MiB) under Wine, the Windows build's "
                     f"limit: {_rate(machine['cng_sha256_under_wine_bytes_per_second'])}")
    for key, label in (("wine_empty_program", "Empty Windows program under Wine"),
                       ("wine_empty_program_with_window", "The same showing a window")):
        wine = summary.get(key)
        if wine:
            lines.append(f"{label}: median {wine['median_seconds']:.3f} s (min "
                         f"{wine['min_seconds']:.3f}, max {wine['max_seconds']:.3f}, "
                         f"{wine['runs']} runs, peak {wine['peak_rss_mib']:.0f} MiB)")
    header = (f"{'scenario':<17} {'who':<14} {'n':>2} {'median s':>9} {'min-max s':>15} "
              f"{'stdev':>6} {'peak MiB':>8} {'req':>5} {'MB served':>9} {'bytes ok':>8} "
              f"{'ratio':>7} {'-Wine':>7}")
    for kind, rows in summary["clients"].items():
        entry = results["clients"][kind]
        lines.append("")
        largest = entry["largest_file_bytes"]
        largest = (f"{largest / 2**20:.0f} MiB" if largest >= 2**20 else
                   f"{largest / 2**10:.0f} KiB")
        lines.append(f"{kind}: {entry['files']} files, {entry['bytes'] / 1e6:.1f} MB, largest "
                     f"{largest}; the update changes "
                     f"{entry['changed_files']} files, {entry['changed_bytes'] / 1e6:.2f} MB")
        lines.append(header)
        lines.append("-" * len(header))
        for scenario in SCENARIOS:
            if scenario not in rows:
                continue
            row = rows[scenario]
            who = [("baseline", "curl+openssl")] + list(BUILDS)
            for key, label in who:
                s = row.get(key)
                if key not in row:
                    continue
                name = scenario if key == "baseline" else ""
                if s is None:
                    lines.append(f"{name:<17} {label:<14} {'':>2} {'failed':>9}")
                    continue
                spread = f"{s['min_seconds']:.3f}-{s['max_seconds']:.3f}"
                peak = "-" if s["peak_rss_mib"] is None else f"{s['peak_rss_mib']:.0f}"
                ratio = f"{s['ratio']:.2f}" if "ratio" in s else ""
                no_wine = (f"{s['ratio_without_wine_start']:.2f}"
                           if "ratio_without_wine_start" in s else "")
                ok = "yes" if s["served_as_expected"] else "NO"
                if key == "baseline" and scenario == "rollback":
                    label = "(= start)"
                lines.append(
                    f"{name:<17} {label:<14} {s['runs']:>2} {s['median_seconds']:>9.3f} "
                    f"{spread:>15} {s['stdev_seconds']:>6.3f} {peak:>8} {s['requests']:>5} "
                    f"{_mb(s['bytes_served']):>9} {ok:>8} {ratio:>7} {no_wine:>7}")
        lines += _disk_lines(entry, rows.get("update 5%", {}))
        lines += _served_share_lines(kind, entry, rows.get("fresh install", {}))
    if not summary["clients"]:
        lines.append("(no loopback clients in this run)")
    if summary.get("pack_update"):
        lines += _pack_table(results, summary)
    if summary.get("repair"):
        lines += _repair_table(summary)
    if summary.get("real_update"):
        lines += _real_table(summary)
    lines.append("")
    lines.append("Peak memory of the launcher over every scenario and client:")
    for build, label in BUILDS:
        peaks = [(s["peak_rss_mib"], kind, scenario)
                 for kind, rows in summary["clients"].items()
                 for scenario, row in rows.items()
                 for s in [row.get(build)] if s and s["peak_rss_mib"] is not None]
        if peaks:
            peak, kind, scenario = max(peaks)
            lines.append(f"  {label}: {peak:.0f} MiB (largest in {kind}, {scenario})")
    lines.append("")
    lines.append("ratio: launcher median / baseline median. -Wine: the same after taking the "
                 "median of the empty program showing a window off the Wine figure.")
    lines.append("bytes ok: nginx served exactly the body bytes, requests and ranged (206) "
                 "answers the launcher's plan calls for: big files in pieces, changed files with "
                 "chunk lists rebuilt from shared chunks, a smaller patch taken instead "
                 "(bench.py, planned_fetch).")
    if summary.get("far"):
        lines += far_table(results["far"], summary["far"])
    if results.get("problems"):
        lines.append("")
        lines.append("Problems:")
        lines += [f"  {p}" for p in results["problems"]]
    with_builds = results.get("elapsed_seconds_with_builds")
    lines.append(f"Finished in {results['elapsed_seconds']:.0f} s" +
                 (f" ({with_builds:.0f} s with the builds)." if with_builds else "."))
    return "\n".join(lines)


# The far website (bench/far.py): fresh installs against curl and against aria2c.
FAR_WHO = (("curl", "curl+openssl"), ("aria2c", "aria2c, 8 conn."), ("linux", "Linux Release"),
           ("windows", "Windows, Wine"))
FAR_TARGETS = {"many small files": {"curl": 0.3, "aria2c": 1.2}, "one large pack": {"curl": 0.4},
               "compiled code": {}}
FAR_PEAK_TARGET_MIB = 64


def summarise_far(far):
    rows = {}
    for kind, entry in far["clients"].items():
        scenario = entry["scenario"]
        row = {"scenario": scenario}
        for who, _ in FAR_WHO:
            runs = entry["runs"].get(who)
            if runs is None:
                continue
            s = _summary(runs)
            row[who] = s
            if s is None:
                continue
            s["connections"] = max(r.get("connections", 0) for r in runs)
            s["served_share_of_client"] = s["bytes_served"] / entry["bytes"]
            seconds = sum(r["seconds"] for r in runs)
            s["proxy_cpu_share"] = sum(r.get("proxy_cpu_seconds", 0.0) for r in runs) / seconds
        for build in ("linux", "windows"):
            s = row.get(build)
            if not s:
                continue
            targets = []
            for base in ("curl", "aria2c"):
                b = row.get(base)
                if b:
                    s[f"ratio_{base}"] = s["median_seconds"] / b["median_seconds"]
                limit = FAR_TARGETS[scenario].get(base)
                if limit is not None:
                    value = s.get(f"ratio_{base}")
                    targets.append({"what": f"x {base}", "limit": limit, "value": value,
                                    "met": value is not None and value <= limit})
            peak = s["peak_rss_mib"]
            targets.append({"what": "peak MiB", "limit": FAR_PEAK_TARGET_MIB, "value": peak,
                            "met": peak is not None and peak <= FAR_PEAK_TARGET_MIB})
            s["targets"] = targets
        rows[kind] = row
    return rows


def far_table(far, rows):
    lines = ["", f"Far website: {far['delay_ms_each_way']} ms each way through bench/far_proxy.py, "
             f"nginx limit_rate {far['rate_cap_bytes_per_second'] / 1e6:.0f} MB/s a connection, "
             f"fresh installs, {far['repetitions']} repetitions"]
    check = far.get("proxy_check")
    if check:
        for n in (8, 1):
            if f"proxied_{n}_bytes_per_second" in check:
                lines.append(
                    f"The proxy on its own, {n} connection{'s' if n > 1 else ''} at once, "
                    f"uncapped: {_rate(check[f'proxied_{n}_bytes_per_second'])} (straight to "
                    f"nginx {_rate(check[f'direct_{n}_bytes_per_second'])}), the proxy using "
                    f"{check[f'proxy_cpu_share_{n}'] * 100:.0f}% of a core")
        if "request_round_trip_seconds" in check:
            lines.append(f"A small request on a kept-alive connection: "
                         f"{check['request_round_trip_seconds'] * 1000:.1f} ms (the first, with "
                         f"the handshake: {check['first_request_seconds'] * 1000:.1f} ms)")
    header = (f"{'who':<16} {'n':>2} {'median s':>9} {'min-max s':>15} {'peak MiB':>8} "
              f"{'req':>5} {'conn':>4} {'MB served':>9} {'bytes ok':>8} {'proxy':>5} "
              f"{'x curl':>7} {'x aria2c':>8}  targets")
    for kind, row in rows.items():
        entry = far["clients"][kind]
        largest = entry["largest_file_bytes"]
        largest = (f"{largest / 2**20:.0f} MiB" if largest >= 2**20 else
                   f"{largest / 2**10:.0f} KiB")
        lines.append("")
        lines.append(f"far, {row['scenario']} ({kind}): {entry['files']} files, "
                     f"{entry['bytes'] / 1e6:.1f} MB, largest {largest}")
        lines.append(header)
        lines.append("-" * len(header))
        for who, label in FAR_WHO:
            if who not in row:
                continue
            s = row[who]
            if s is None:
                lines.append(f"{label:<16} {'':>2} {'failed':>9}")
                continue
            spread = f"{s['min_seconds']:.3f}-{s['max_seconds']:.3f}"
            peak = "-" if s["peak_rss_mib"] is None else f"{s['peak_rss_mib']:.0f}"
            ratios = [f"{s[key]:.2f}" if key in s else "" for key in ("ratio_curl", "ratio_aria2c")]
            targets = "; ".join(
                f"{t['what']} <= {t['limit']:g} {'met' if t['met'] else 'MISSED'}"
                for t in s.get("targets", []))
            lines.append(
                f"{label:<16} {s['runs']:>2} {s['median_seconds']:>9.3f} {spread:>15} "
                f"{peak:>8} {s['requests']:>5} {s['connections']:>4} {_mb(s['bytes_served']):>9} "
                f"{'yes' if s['served_as_expected'] else 'NO':>8} "
                f"{s['proxy_cpu_share'] * 100:>4.0f}% {ratios[0]:>7} {ratios[1]:>8}  {targets}")
        lines += [line.lstrip() for line in _served_share_lines(kind, entry, row)]
    lines.append("")
    lines.append("x curl, x aria2c: launcher median / that baseline's median. proxy: the proxy's "
                 "CPU time over the run's time. bytes ok: nginx served the expected requests "
                 "and body bytes (more of both for ranged fetches and spare connections).")
    return lines


def far_chart(ax, rows):
    """One panel: the launcher's ratios to curl and to aria2c per far scenario, with the
    targets marked."""
    series = (("linux", "ratio_curl", "Linux / curl"), ("linux", "ratio_aria2c", "Linux / aria2c"),
              ("windows", "ratio_curl", "Wine / curl"), ("windows", "ratio_aria2c", "Wine / aria2c"))
    kinds = list(rows)
    width = 0.2
    for i, (build, field, label) in enumerate(series):
        values = [(rows[k].get(build) or {}).get(field, 0.0) for k in kinds]
        if not any(values):
            continue
        positions = [x + (i - 1.5) * width for x in range(len(kinds))]
        bars = ax.bar(positions, values, width, label=label)
        ax.bar_label(bars, labels=[f"{v:.2f}" if v else "" for v in values], fontsize=7)
        for x, kind in zip(positions, kinds):
            limit = FAR_TARGETS[rows[kind]["scenario"]].get(field.split("_")[1])
            if limit is not None:
                ax.hlines(limit, x - width / 2, x + width / 2, colors="red", linestyles="dashed",
                          label="target" if (i, x) == (0, positions[0]) else None)
    ax.axhline(1.0, color="black", linewidth=0.8)
    ax.set_yscale("log")
    ax.set_xticks(range(len(kinds)), [f"{rows[k]['scenario']}\n({k})" for k in kinds])
    ax.set_title("far website, fresh install (40 ms, 20 MB/s a connection)")
    ax.set_ylabel("launcher time / baseline time")
    if ax.get_legend_handles_labels()[0]:
        ax.legend(fontsize=8)


def chart(summary, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    kinds = list(summary["clients"])
    far_rows = summary.get("far")
    panels = len(kinds) + (1 if far_rows else 0)
    if not panels:
        return
    fig, axes = plt.subplots(1, panels, figsize=(max(6.5 * panels, 9), 4.8), squeeze=False)
    series = (("linux", "ratio", "Linux Release"),
              ("windows", "ratio", "Windows under Wine"),
              ("windows", "ratio_without_wine_start", "Wine, Wine's own start taken off"))
    width = 0.26
    for ax, kind in zip(axes[0], kinds):
        rows = summary["clients"][kind]
        for i, (build, field, label) in enumerate(series):
            values = []
            for scenario in SCENARIOS:
                s = rows.get(scenario, {}).get(build)
                values.append(s.get(field, 0.0) if s else 0.0)
            if not any(values):
                continue
            positions = [x + (i - 1) * width for x in range(len(SCENARIOS))]
            bars = ax.bar(positions, values, width, label=label)
            ax.bar_label(bars, labels=[f"{v:.1f}" if v else "" for v in values], fontsize=7)
        ax.axhline(1.0, color="black", linewidth=0.8)
        ax.set_yscale("log")
        ax.set_xticks(range(len(SCENARIOS)), SCENARIOS)
        ax.set_title(kind)
        ax.set_ylabel("launcher time / curl + openssl time")
        if ax.get_legend_handles_labels()[0]:
            ax.legend(fontsize=8)
    if far_rows:
        far_chart(axes[0][-1], far_rows)
    fig.suptitle("Kelvadon Launcher against the plain download-and-hash baseline (1 = as fast)")
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def write(results, folder):
    summary = summarise(results)
    if results.get("far"):
        summary["far"] = summarise_far(results["far"])
    results = dict(results, summary=summary)
    text = table(results, summary)
    print(text, flush=True)
    with open(os.path.join(folder, "bench-results.txt"), "w") as f:
        f.write(text + "\n")
    with open(os.path.join(folder, "bench-results.json"), "w") as f:
        json.dump(results, f, indent=1)
    chart(summary, os.path.join(folder, "bench-ratios.png"))
    print(f"Wrote {folder}/bench-results.txt, bench-results.json and bench-ratios.png",
          flush=True)
