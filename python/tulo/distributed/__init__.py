"""Whole archives on a Dask cluster: one task per image, each running the opsira tool's own processing.

    import tulo.distributed
    for report in tulo.distributed.process(["scans/"], "/shared/out", client=client):
        print(report["input"], report["ok"])

Every worker must see the inputs and the output folder at the same paths as the caller (a shared
file system). Each image's files are written into a hidden folder beside the final one and renamed
into place when complete, so a reader never sees a partial catalogue, and a task that Dask runs
again after its worker died leaves one folder all the same.
"""
import contextlib
import os
import pathlib
import shutil
import warnings
from typing import Iterable, Iterator, NamedTuple, Optional, Sequence, Union

from .. import Opsira
from .. import _opsira

Kinds = Union[None, str, Sequence[Union[str, int]]]

WHOLE_CATALOGUE = range(1, 23)  # the kinds save_all writes
RETRIES = 2  # further attempts of a task whose Python code failed (a dead worker is Dask's business)
WORKER_DIED = "the worker processing this image died"


class Task(NamedTuple):
    """One image and the folder its files go to (with a trailing "/", as the tool names it)."""
    input: str
    output: str


class Plan(NamedTuple):
    """What a batch is to do, before anything runs."""
    tasks: list
    """The Task of every image found, in input order."""
    problems: list
    """One line per folder that could not be listed."""


def plan(inputs: Iterable[str], out_root: str = "out", *, recursive: bool = False) -> Plan:
    """The images named by `inputs` (files, or folders of images) and their output folders, as
    opsira finds and names them."""
    files, problems = _opsira.collect_inputs(list(inputs), recursive, out_root)
    return Plan([Task(*task) for task in _opsira.plan_tasks(files, out_root)], problems)


def kind_numbers(kinds: Kinds = None, *, deskew: bool = False) -> list:
    """The kinds to save, as opsira orders them; empty for the whole catalogue.

    `kinds` is a comma-separated string or a sequence of names, numbers or EMatType values;
    `deskew` adds the angle-corrected image. Raises ValueError for an unknown kind."""
    names = [kinds] if isinstance(kinds, str) else [str(int(k)) if not isinstance(k, str) else k for k in kinds or []]
    if deskew:
        names.append("angle_corrected")
    return _opsira.parse_kinds(",".join(names)) if names else []


def expected_files(output: str, kinds: Sequence[int]) -> list:
    """The files a complete output folder holds for these kinds."""
    names = Opsira()
    return [f"{output}{kind:02d}_{names.to_string(Opsira.EMatType(kind))}.jpg" for kind in kinds or WHOLE_CATALOGUE]


def is_complete(task: Task, kinds: Sequence[int]) -> bool:
    """True when the task's folder is in place with every file these kinds write."""
    return all(os.path.isfile(file) for file in expected_files(task.output, kinds))


def process(inputs: Iterable[str], out_root: str = "out", kinds: Kinds = None, *, deskew: bool = False,
            client=None, recursive: bool = False, resume: bool = False,
            workers: Optional[int] = None) -> Iterator[dict]:
    """Processes every image of `inputs` on a Dask cluster and yields one report per image as it
    completes: a dict with the fields of `opsira --json`.

    `client` is a dask.distributed Client; without one a local cluster of `workers` processes (one
    per core by default) is started and closed. With `resume`, an image whose folder is complete is
    not processed again and its report lists the files already there. A folder that cannot be
    listed is passed on with a warning; a bad image gives a report with "ok" false."""
    planned = plan(inputs, out_root, recursive=recursive)
    for problem in planned.problems:
        warnings.warn(problem, stacklevel=2)
    return run(planned.tasks, kind_numbers(kinds, deskew=deskew), client=client, resume=resume, workers=workers)


def run(tasks: Sequence[Task], kinds: Sequence[int] = (), *, client=None, resume: bool = False,
        workers: Optional[int] = None) -> Iterator[dict]:
    """Runs planned tasks (see plan and kind_numbers) and yields their reports as they complete."""
    kinds = list(kinds)
    pending = []
    for task in tasks:
        if resume and is_complete(task, kinds):
            yield resumed_report(task, kinds)
        else:
            pending.append(task)
    if pending:
        yield from submitted(pending, kinds, client, workers)


def submitted(tasks: Sequence[Task], kinds: list, client, workers: Optional[int]) -> Iterator[dict]:
    from distributed import as_completed

    with client_or_local(client, workers) as active:
        futures = {active.submit(process_image, task.input, task.output, kinds, pure=False, retries=RETRIES): task
                   for task in tasks}
        for future in as_completed(futures):
            yield report_of(future, futures[future])


@contextlib.contextmanager
def client_or_local(client, workers: Optional[int]):
    """The caller's client as it is, or one of a local cluster on the loopback interface, closed after."""
    if client is not None:
        yield client
        return
    from distributed import Client, LocalCluster
    with LocalCluster(n_workers=workers or os.cpu_count(), threads_per_worker=1, processes=True, host="127.0.0.1",
                      dashboard_address=None) as cluster, Client(cluster) as local:
        yield local


def report_of(future, task: Task) -> dict:
    """The report a finished task returned, or a failed report when its task could not run."""
    from distributed.scheduler import KilledWorker

    if future.status == "finished":
        return future.result()
    error = future.exception()
    return failed_report(task, WORKER_DIED if isinstance(error, KilledWorker) else f"{type(error).__name__}: {error}")


def failed_report(task: Task, reason: str) -> dict:
    return {"input": task.input, "output": task.output, "ok": False, "error": reason, "threshold_method": None,
            "threshold_value": None, "correction_angle": None, "contours": None, "segments": None, "files": [],
            "seconds": 0.0}


def resumed_report(task: Task, kinds: Sequence[int]) -> dict:
    return dict(failed_report(task, ""), ok=True, error=None, files=expected_files(task.output, kinds))


def process_image(input: str, output: str, kinds: Sequence[int]) -> dict:
    """What a worker runs: opsira's processing of one image, which writes into a hidden folder
    beside `output` and renames it into place when every file is written."""
    # Dask runs a task per core, so OpenCV's own threads would only compete with the other tasks.
    _opsira.set_opencv_threads(1)
    final = pathlib.Path(output)
    # What an earlier attempt on a dead worker left: Dask runs one attempt of a task at a time.
    for leftover in final.parent.glob(f".{final.stem}.tmp-*{final.suffix}"):
        shutil.rmtree(leftover, ignore_errors=True)
    return _opsira.process(input, output, list(kinds))
