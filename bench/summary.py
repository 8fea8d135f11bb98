#!/usr/bin/env python3
"""Prints the result tables of bench/README.md from the files bench/run.sh writes."""
import json
import math
import sys
from pathlib import Path

TO_MS = {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}
SIZES = ["0.3MP", "2MP", "12MP"]
SUFFIXES = {"real_time", "process_time", "manual_time"}
KINDS = ["greyscale", "gaussian_blur", "blur_greyscale", "simple_colour_balance", "invert", "threshold", "erode",
         "erode_and_dilate", "canny_edge_detection", "find_contours", "find_contours_intervals", "histogram",
         "hough_lines", "angle_corrected", "mosaic", "dog", "threshold_otsu", "threshold_triangle",
         "threshold_gaussian", "threshold_meanc", "threshold_dog"]


def medians(path):
    """Median real time in ms and counters of every benchmark, by its name without suffix."""
    runs = {}
    for run in json.loads(path.read_text())["benchmarks"]:
        if run.get("aggregate_name") != "median":
            continue
        name = "/".join(part for part in run["run_name"].split("/") if part not in SUFFIXES)
        scale = TO_MS[run["time_unit"]]
        runs[name] = dict(run, ms=run["real_time"] * scale, cpu_ms=run["cpu_time"] * scale)
    return runs


def complexity(path):
    for run in json.loads(path.read_text())["benchmarks"]:
        if run.get("aggregate_name") == "BigO":
            yield run
        if run.get("aggregate_name") == "RMS":
            yield run


def table(header, rows):
    print()
    print("| " + " | ".join(header) + " |")
    print("|" + "|".join("---" for _ in header) + "|")
    for row in rows:
        print("| " + " | ".join(row) + " |")
    print()


def ms(value):
    return f"{value:.3g}" if value < 100 else f"{value:.0f}"


def catalogue(runs):
    rows = []
    for size in SIZES:
        ws, direct = runs.get(f"catalogue/workspace/{size}"), runs.get(f"catalogue/direct/{size}")
        if ws and direct:
            rows.append([size, ms(ws["ms"]), ms(direct["ms"]), f"{ws['ms'] / direct['ms']:.3f}",
                         ms(ws["cpu_ms"]), ms(direct["cpu_ms"]), f"{ws['cpu_ms'] / direct['cpu_ms']:.3f}",
                         f"{ws.get('differing_kinds', 0):.0f}"])
    print("Whole catalogue (kinds 2-22, then the mosaic), medians in ms: wall time, and CPU time of all threads")
    table(["Size", "workspace wall", "direct wall", "wall ratio", "workspace CPU", "direct CPU", "CPU ratio",
           "kinds whose output differs"], rows)


def kinds(runs):
    sizes = [s for s in SIZES if all(f"kind/{s}/{name}" in runs for name in KINDS)]
    if not sizes:
        return
    names = KINDS
    totals = {s: sum(r["ms"] for n, r in runs.items() if n.startswith(f"kind/{s}/")) for s in sizes}
    rows = []
    for name in names:
        row = [name]
        for s in sizes:
            value = runs[f"kind/{s}/{name}"]["ms"]
            row += [ms(value), f"{100 * value / totals[s]:.1f} %", ms(runs[f"kind/{s}/{name}"]["cpu_ms"])]
        rows.append(row)
    rows.append(["**sum**"] + sum(([ms(totals[s]), "100 %", ""] for s in sizes), []))
    print("Each kind on its own, sources stored: median wall time in ms, its share of the sum, CPU time of all threads")
    table(["Kind"] + sum(([f"{s} wall", f"{s} share", f"{s} CPU"] for s in sizes), []), rows)


def colour_balance(runs):
    rows = []
    for size in SIZES:
        counting, sorting = runs.get(f"colour_balance/counting/{size}"), runs.get(f"colour_balance/sorting/{size}")
        if counting and sorting:
            rows.append([size, ms(counting["ms"]), ms(sorting["ms"]), f"{sorting['ms'] / counting['ms']:.1f}x",
                         f"{sorting['cpu_ms'] / counting['cpu_ms']:.1f}x"])
    print("Colour balance, identical output, median wall time in ms")
    table(["Size", "counting (library)", "sorting", "speed-up (wall)", "speed-up (CPU)"], rows)


def save_all(runs):
    rows = [[s, ms(runs[f"save_all/{s}"]["ms"])] for s in SIZES if f"save_all/{s}" in runs]
    print("save_all of a derived catalogue (22 JPEG files, quality 75, optimised), median wall time in ms")
    table(["Size", "save_all"], rows)


def intervals(runs, path):
    rows = []
    for name, run in sorted(runs.items(), key=lambda item: int(item[0].split(":")[-1]) if ":" in item[0] else 0):
        if name.startswith("intervals/n:"):
            n = int(name.split(":")[1])
            us = run["ms"] * 1e3
            rows.append([f"{n:,}", f"{us:.4g}", f"{1e3 * us / (n * math.log2(n)):.2f}"])
    print("tulo::intervals, median time of the call in µs")
    table(["n", "µs", "ns per n log2 n"], rows)
    for run in complexity(path):
        if run["aggregate_name"] == "BigO":
            print(f"Fitted: {run['real_coefficient']:.3g} · {run['big_o']} ({run['time_unit']})")
        else:
            print(f"RMS of the fit: {100 * run['rms']:.0f} %")
    print()


def k_means(runs):
    def n_and_k(item):
        return tuple(int(part.split(":")[1]) for part in item[0].split("/")[2:]) if "n:" in item[0] else ()

    rows = []
    for name, run in sorted(runs.items(), key=n_and_k):
        if not name.startswith("k_means/tulo/"):
            continue
        tail = name.split("/", 2)[2]
        cv2, cv1 = runs.get(f"k_means/cv_kmeans/{tail}"), runs.get(f"k_means/cv_kmeans_1_thread/{tail}")
        n, k = (part.split(":")[1] for part in tail.split("/"))
        rows.append([f"{int(n):,}", k, ms(run["ms"]), f"{run.get('iterations', 0):.0f}",
                     ms(cv2["ms"]), f"{run['ms'] / cv2['ms']:.2f}", ms(cv1["ms"]), f"{run['ms'] / cv1['ms']:.2f}"])
    print("tulo::k_means against cv::kmeans on the same values, median wall time in ms")
    table(["n", "k", "tulo", "tulo iterations", "cv::kmeans (2 threads)", "ratio", "cv::kmeans (1 thread)", "ratio"],
          rows)


def memory(path):
    rows = []
    for line in path.read_text().splitlines():
        m = json.loads(line)
        rows.append([m["route"], f"{m['peak_above_before_bytes'] / 2**20:.0f}", f"{m['held_distinct_bytes'] / 2**20:.0f}",
                     f"{m['ratio']:.3f}"])
    print("Peak resident memory for the catalogue of a 12 MP photo (VmHWM above the level before loading)")
    table(["route", "peak MiB", "images held MiB", "ratio"], rows)


def batch(path):
    rows = []
    for line in path.read_text().splitlines():
        b = json.loads(line)
        rows.append([str(b["jobs"]), str(b["images"]), f"{b['wall_s']:.1f}", f"{b['images_per_s']:.2f}",
                     f"{b['cpu_use']:.2f}"])
    print("opsira on 2 MP JPEG photos (median of 3 runs)")
    table(["-j", "images", "wall s", "images/s", "CPU use (user+sys)/wall"], rows)


def python(path):
    measures = {m["measure"].split()[0]: m for m in map(json.loads, path.read_text().splitlines())}
    c, t, d = measures["catalogue"], measures["threads"], measures["dask"]
    print("The catalogue through Python and through C++, 0.3 MP, medians in ms")
    table(["route", "wall", "CPU of all threads"],
          [["C++ (tulo_bench)", ms(c["cxx_wall_ms"]), ms(c["cxx_cpu_ms"])],
           ["Python", ms(c["python_wall_ms"]), ms(c["python_cpu_ms"])],
           ["Python / C++", f"{c['wall_ratio']:.3f}", f"{c['cpu_ratio']:.3f}"]])
    print("Catalogues per second, 0.3 MP, a workspace per Python thread, OpenCV sequential")
    table(["one thread", "two threads", "speed-up", "cores busy, one thread", "cores busy, two threads"],
          [[f"{t['one_thread_per_s']:.2f}", f"{t['two_threads_per_s']:.2f}", f"{t['speed_up']:.2f}x",
            f"{t['one_thread_cores']:.2f}", f"{t['two_threads_cores']:.2f}"]])
    print(f"tulo.distributed on {d['measure'].split(' ', 1)[1]} JPEG photos, two worker processes, median wall s")
    table(["route", "wall s", "throughput / opsira -j 2"],
          [["opsira -j 2", f"{d['opsira_j2_s']:.1f}", "1.00"],
           ["local cluster, running", f"{d['cluster_running_s']:.1f}", f"{d['cluster_ratio']:.2f}"],
           ["python3 -m tulo.distributed -j 2 (cluster start and stop included)", f"{d['command_s']:.1f}",
            f"{d['command_ratio']:.2f}"]])


def main(directory):
    results = Path(directory)
    bench = results / "bench.json"
    if bench.exists():
        runs = medians(bench)
        catalogue(runs)
        kinds(runs)
        colour_balance(runs)
        save_all(runs)
        intervals(runs, bench)
        k_means(runs)
    for name, show in (("memory.json", memory), ("batch.json", batch), ("python.json", python)):
        if (results / name).exists():
            show(results / name)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "build-bench/bench-results")
