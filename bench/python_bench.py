"""Measures the Python package against the C++ library and prints one JSON line per measurement.

usage: /usr/bin/python3 bench/python_bench.py BUILD_DIR [REPETITIONS [MEASUREMENT...]]
(the measurements below by name; all of them by default)

- catalogue: the whole catalogue of the 0.3 MP benchmark photograph (kinds 2 to 22, then the
  mosaic, as the C++ benchmark derives it) through Python, against `tulo_bench`'s
  catalogue/workspace/0.3MP; the two alternate, REPETITIONS times each, and the medians compare.
- threads: catalogues of that photograph on one Python thread and on two, a workspace per
  thread, OpenCV's own threads off in both; throughput of two over one.
- dask: the eight 2 MP JPEG photographs of bench/batch.sh through tulo.distributed on a running
  local cluster of two worker processes, and through `python3 -m tulo.distributed -j 2` with the
  cluster's start and stop, against `opsira -j 2`; median wall times of REPETITIONS runs.
"""
import concurrent.futures
import json
import os
import pathlib
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

BATCH_PHOTOS = 8  # as bench/batch.sh times opsira
CATALOGUES_PER_THREAD = 4  # per thread in the threads measurement: enough to hide start and end
ITERATIONS = 3  # catalogues per timed run, as many as Google Benchmark runs in --benchmark_min_time=3


def derive_catalogue(tulo, image):
    workspace = tulo.Opsira(image)
    for kind in range(2, 23):
        if kind != int(tulo.EMatType.mosaic):
            workspace.get(tulo.EMatType(kind))
    workspace.get(tulo.EMatType.mosaic)


def timed(function, *args):
    """Wall and process CPU time of one call, in seconds."""
    wall, cpu = time.perf_counter(), time.process_time()
    function(*args)
    return time.perf_counter() - wall, time.process_time() - cpu


def cxx_catalogue_ms(build):
    output = subprocess.run(
        [f"{build}/bench/tulo_bench", "--benchmark_filter=^catalogue/workspace/0.3MP/", "--benchmark_min_time=3",
         "--benchmark_format=json"], check=True, capture_output=True, text=True).stdout
    run = json.loads(output)["benchmarks"][0]
    return run["real_time"], run["cpu_time"]


def python_catalogue_ms(tulo, image):
    wall, cpu = timed(lambda: [derive_catalogue(tulo, image) for _ in range(ITERATIONS)])
    return wall * 1000 / ITERATIONS, cpu * 1000 / ITERATIONS


def alternating(measures, repetitions):
    """The results of every measure, run in turn, each first every other time so that a change of
    load hits all alike."""
    runs = {name: [] for name in measures}
    for repetition in range(repetitions):
        for name in list(measures)[::1 if repetition % 2 == 0 else -1]:
            runs[name].append(measures[name]())
    return runs


def catalogue(build, tulo, image, repetitions):
    runs = alternating({"cxx": lambda: cxx_catalogue_ms(build), "python": lambda: python_catalogue_ms(tulo, image)},
                       repetitions)
    medians = {route: [statistics.median(run[i] for run in runs[route]) for i in (0, 1)] for route in runs}
    return {"measure": "catalogue 0.3MP", "cxx_wall_ms": medians["cxx"][0], "python_wall_ms": medians["python"][0],
            "wall_ratio": medians["python"][0] / medians["cxx"][0], "cxx_cpu_ms": medians["cxx"][1],
            "python_cpu_ms": medians["python"][1], "cpu_ratio": medians["python"][1] / medians["cxx"][1]}


def throughput(tulo, image, threads):
    """Catalogues per second, and the cores they kept busy (process CPU time over wall time): above
    1 only while two threads ran the library at the same time, which a held GIL would prevent."""
    with concurrent.futures.ThreadPoolExecutor(threads) as pool:
        wall, cpu = timed(lambda: list(pool.map(lambda _: derive_catalogue(tulo, image),
                                                range(threads * CATALOGUES_PER_THREAD))))
    return threads * CATALOGUES_PER_THREAD / wall, cpu / wall


def threads(tulo, image, repetitions):
    import cv2
    cv2.setNumThreads(1)
    runs = alternating({1: lambda: throughput(tulo, image, 1), 2: lambda: throughput(tulo, image, 2)}, repetitions)
    (one, one_cores), (two, two_cores) = ([statistics.median(run[i] for run in runs[n]) for i in (0, 1)] for n in (1, 2))
    return {"measure": "threads 0.3MP", "one_thread_per_s": one, "two_threads_per_s": two, "speed_up": two / one,
            "one_thread_cores": one_cores, "two_threads_cores": two_cores}


def into_empty(out, run):
    """A measure: the wall time of `run()` writing into `out`, emptied first."""
    def measure():
        shutil.rmtree(out, ignore_errors=True)
        return timed(run)[0]
    return measure


def dask(build, photos, repetitions):
    import distributed
    import tulo.distributed as td
    files = sorted(str(path) for path in pathlib.Path(photos).glob("*.jpg"))
    out = f"{photos}/out"
    command_env = dict(os.environ, PYTHONPATH=f"{build}/python")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, host="127.0.0.1",
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        runs = alternating({
            "opsira": into_empty(out, lambda: subprocess.run(
                [f"{build}/tools/opsira", "-j", "2", "-q", "-o", out, *files], check=True)),
            "running": into_empty(out, lambda: list(td.process(files, out, client=client))),
            "command": into_empty(out, lambda: subprocess.run(
                [sys.executable, "-m", "tulo.distributed", "-j", "2", "-q", "-o", out, *files], check=True,
                env=command_env)),
        }, repetitions)
    opsira, running, command = (statistics.median(runs[name]) for name in ("opsira", "running", "command"))
    return {"measure": f"dask {len(files)} x 2MP", "opsira_j2_s": opsira, "cluster_running_s": running,
            "cluster_ratio": opsira / running, "command_s": command, "command_ratio": opsira / command}


def main(build, repetitions=3, *chosen):
    build = pathlib.Path(build).resolve()
    sys.path.insert(0, str(build / "python"))
    import cv2
    import tulo
    with tempfile.TemporaryDirectory() as photos:
        # The first photograph of a series is the one the C++ benchmarks draw; PNG keeps every byte.
        subprocess.run([f"{build}/bench/tulo_bench_photos", photos, "1", "640", "480", "png"], check=True,
                       capture_output=True)
        image = cv2.imread(f"{photos}/photo_00.png")
        subprocess.run([f"{build}/bench/tulo_bench_photos", photos, str(BATCH_PHOTOS), "1920", "1080", "jpg"],
                       check=True, capture_output=True)
        measurements = {"catalogue": lambda: catalogue(build, tulo, image, repetitions),
                        "threads": lambda: threads(tulo, image, repetitions),
                        "dask": lambda: dask(build, photos, repetitions)}
        for name in chosen or measurements:
            print(json.dumps(measurements[name]()), flush=True)


if __name__ == "__main__":
    main(sys.argv[1], *map(int, sys.argv[2:3]), *sys.argv[3:])
