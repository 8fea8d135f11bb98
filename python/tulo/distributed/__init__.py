"""Whole archives on a Dask cluster: one task per image, each running the library's page pipeline as
the opsira tool does. Every page of a PDF or of a multi-page TIFF is a task of its own; when
de-skewing, the pages of one file go to one worker together, which levels them in order and streams
them into the one output file (changed pages spooled to disk, so its memory does not grow with the
page count), written when the last page is done.

    import tulo.distributed
    for report in tulo.distributed.process(["scans/"], "/shared/out", client=client):
        print(report["input"], report["ok"])

The choices are the tool's: a catalogue (or `kinds`) in a `format`, or with the page steps
(`orient`, `deskew`, `crop`) one upright, levelled or cut copy of each image. Every worker must see the inputs and the output folder at the same paths as
the caller (a shared file system). Each image's outputs are written beside their final place,
hidden, and renamed into it when complete, so a reader never sees a partial catalogue or a
half-written copy, and a task that Dask runs again after its worker died leaves one output all
the same; what the dead attempt left staged is removed when the batch ends.
"""
import collections
import contextlib
import os
import pathlib
import shutil
import warnings
from typing import Iterable, Iterator, NamedTuple, Optional, Sequence, Union

from .. import _pipeline
from .._pipeline import CropSettings, DeskewSettings, Format, Job, OrientSettings

Kinds = Union[None, str, Sequence[Union[str, int]]]

RETRIES = 2  # further attempts of a task whose Python code failed (a dead worker is Dask's business)
WORKER_DIED = "the worker processing this image died"
LOOPBACK = "127.0.0.1"  # the interface of a local cluster, so that no other machine can reach it


class Task(NamedTuple):
    """One image and where it goes: a folder (with a trailing "/", as the tool names it) or, when
    de-skewing, a file."""
    input: str
    output: str
    page: int = 0
    """The page of a multi-page file, from 1; 0 for a single image."""


class Plan(NamedTuple):
    """What a batch is to do, before anything runs."""
    tasks: list
    """The Task of every image found, in input order."""
    problems: list
    """One line per folder that could not be listed."""


Paths = Union[str, os.PathLike, Iterable[Union[str, os.PathLike]]]


def plan(inputs: Paths, out_root: Union[str, os.PathLike] = "out", job: Optional[Job] = None, *,
         recursive: bool = False) -> Plan:
    """The images named by `inputs` (a file or folder of images, or several) and their outputs for
    `job`, as opsira finds and names them."""
    paths = [inputs] if isinstance(inputs, (str, os.PathLike)) else inputs
    out_root = os.fspath(out_root)
    files, problems = _pipeline.collect_inputs([os.fspath(path) for path in paths], recursive, out_root)
    return Plan([Task(*task) for task in _pipeline.plan_tasks(files, out_root, job or Job())], problems)


def kind_numbers(kinds: Kinds = None) -> list:
    """The kinds to save, as opsira orders them; empty for the whole catalogue.

    `kinds` is a comma-separated string or a sequence of names, numbers or EMatType values.
    Raises ValueError for an unknown kind."""
    names = [kinds] if isinstance(kinds, str) else [str(int(k)) if not isinstance(k, str) else k for k in kinds or []]
    return _pipeline.parse_kinds(",".join(names)) if names else []


def make_job(kinds: Kinds = None, *, deskew: Union[bool, DeskewSettings] = False,
             format: Union[str, Format] = "jpg", resume: bool = False, orient: Union[bool, OrientSettings] = False,
             crop: Union[bool, CropSettings] = False, dpi: float = 300.0) -> Job:
    """What opsira writes for every image with these choices: the catalogue, or only `kinds`, as
    `format` files ("jpg", "png" or "tif"); or with the page steps `orient`, `deskew` and `crop`
    (each True for the tool's settings, or its settings) one copy of each image stood upright,
    levelled by the angle of its rows and cut to its content, in that order, in its own format.
    With `resume`, complete outputs are left alone. PDF pages that are not one scanned image are
    rendered at `dpi`. Raises ValueError for what the tool refuses."""
    def chosen_settings(choice, settings_type):
        return settings_type() if choice is True else choice or None

    chosen = format if isinstance(format, Format) else Format.__members__.get(format)
    if chosen is None:
        raise ValueError(f'unknown format "{format}": give jpg, png or tif')
    job = Job(kind_numbers(kinds), chosen, resume, chosen_settings(deskew, DeskewSettings),
              chosen_settings(orient, OrientSettings), chosen_settings(crop, CropSettings), dpi)
    if job.flat and (kinds or chosen != Format.jpg):
        raise ValueError("a page step writes one copy of each image in its own format: no kinds or format")
    return job


def expected_files(task: Task, job: Job) -> list:
    """The files a complete output of the task holds for this job."""
    return _pipeline.expected_files(task.input, task.output, job)


def is_complete(task: Task, job: Job) -> bool:
    """True when every file the job writes for the task is in place."""
    return _pipeline.is_complete(task.input, task.output, job)


def process(inputs: Paths, out_root: Union[str, os.PathLike] = "out", kinds: Kinds = None, *,
            deskew: Union[bool, DeskewSettings] = False, format: Union[str, Format] = "jpg", client=None,
            recursive: bool = False, resume: bool = False, workers: Optional[int] = None,
            orient: Union[bool, OrientSettings] = False, crop: Union[bool, CropSettings] = False,
            dpi: float = 300.0) -> Iterator[dict]:
    """Processes every image of `inputs` on a Dask cluster and yields one report per image as it
    completes: a dict with the fields of `opsira --json`.

    The choices are opsira's (see make_job): the whole catalogue, `kinds` (including
    "angle_corrected", the Hough angle's turn) and `format` into OUTDIR/<name of the image>/, or
    with `orient`, `deskew` or `crop` one copy of each image as OUTDIR/<file name>. `client` is a
    dask.distributed Client or a scheduler's address ("tcp://HOST:8786"); without one a local
    cluster of `workers` processes (one per core by default) is started and closed. With `resume`,
    an image whose outputs are complete is not processed again and its report says "skipped". A
    folder that cannot be listed is passed on with a warning; a bad image gives a report with "ok"
    false."""
    job = make_job(kinds, deskew=deskew, format=format, resume=resume, orient=orient, crop=crop, dpi=dpi)
    planned = plan(inputs, out_root, job, recursive=recursive)
    for problem in planned.problems:
        warnings.warn(problem, stacklevel=2)
    return run(planned.tasks, job, client=client, workers=workers)


def run(tasks: Sequence[Task], job: Optional[Job] = None, *, client=None,
        workers: Optional[int] = None) -> Iterator[dict]:
    """Runs planned tasks (see plan and make_job; the whole catalogue without a job) and yields
    their reports as they complete."""
    job = job or Job()
    pending = []
    for task in tasks:
        if job.resume and is_complete(task, job):
            yield resumed_report(task, job)
        else:
            pending.append(task)
    if pending:
        yield from submitted(pending, job, client, workers)
        # Every task has ended, so what is still staged was left by attempts on dead workers.
        remove_leftovers(pending)


def submitted(tasks: Sequence[Task], job: Job, client, workers: Optional[int]) -> Iterator[dict]:
    from distributed import as_completed

    with client_or_local(client, workers) as active:
        futures = {active.submit(process_unit, unit, job, pure=False, retries=RETRIES): unit
                   for unit in units(tasks, job)}
        for future in as_completed(futures):
            yield from reports_of(future, futures[future])


def units(tasks: Sequence[Task], job: Job) -> list:
    """The tasks as Dask runs them: the pages of a multi-page file that a flat job writes into one
    output together, in order; every other task alone."""
    grouped = []
    for task in tasks:
        if job.flat and task.page and grouped and grouped[-1][0].output == task.output:
            grouped[-1].append(task)
        else:
            grouped.append([task])
    return grouped


@contextlib.contextmanager
def client_or_local(client, workers: Optional[int]):
    """The caller's client as it is; or a client of the scheduler at the address `client`, or of a
    local cluster on the loopback interface, closed after."""
    from distributed import Client, LocalCluster

    if isinstance(client, str):
        with Client(client) as connected:
            yield connected
        return
    if client is not None:
        yield client
        return
    # Without a dashboard the scheduler and the workers still serve health and metrics pages, on
    # every interface, and the scheduler on Dask's default port, which clashes, with a warning,
    # with any other cluster here. A free port of the loopback interface does neither.
    http = f"{LOOPBACK}:0"
    with LocalCluster(n_workers=workers or os.cpu_count(), threads_per_worker=1, processes=True, host=LOOPBACK,
                      dashboard_address=None, scheduler_kwargs={"dashboard_address": http},
                      worker_dashboard_address=http) as cluster, Client(cluster) as local:
        yield local


def reports_of(future, unit: list) -> list:
    """The reports a finished unit returned, or failed reports when it could not run."""
    from distributed.scheduler import KilledWorker

    if future.status == "finished":
        return future.result()
    error = future.exception()
    reason = WORKER_DIED if isinstance(error, KilledWorker) else f"{type(error).__name__}: {error}"
    return [failed_report(task, reason) for task in unit]


def failed_report(task: Task, reason: str) -> dict:
    return dict(_pipeline.blank_report(task.input, task.output, task.page), ok=False, error=reason)


def resumed_report(task: Task, job: Job) -> dict:
    return _pipeline.resumed_report(task.input, task.output, job, task.page)


def staged_place(name: str) -> set:
    """The names of the places that an entry of the pipeline's staging can belong to; none for
    another name. One ending in ".old" is a folder moved aside or one staged for a place ending so."""
    return set(_pipeline.staged_places(name))


def leftovers(tasks: Iterable[Task]) -> list:
    """The staging files and folders of these tasks' outputs beside them, no other image's: one
    listing of each output folder."""
    places = collections.defaultdict(set)
    for task in tasks:
        final = pathlib.Path(task.output)
        places[final.parent].add(final.name)
    found = []
    for folder, names in places.items():
        with contextlib.suppress(OSError), os.scandir(folder) as entries:
            found += [entry for entry in entries if staged_place(entry.name) & names]
    return found


def remove_leftovers(tasks: Iterable[Task]) -> None:
    """Removes what attempts at these tasks left staged; to be called when none of them runs."""
    for leftover in leftovers(tasks):
        if leftover.is_dir(follow_symlinks=False):
            shutil.rmtree(leftover.path, ignore_errors=True)
        else:
            with contextlib.suppress(OSError):
                os.unlink(leftover.path)


def process_unit(unit: list, job: Job) -> list:
    """What a worker runs: one image, or pages of one multi-page file in order; their reports."""
    first = unit[0]
    if first.page == 0:
        return [process_image(first.input, first.output, job)]
    _pipeline.set_opencv_threads(1)
    return _pipeline.process_pages(first.input, first.output, [task.page for task in unit], job)


def process_image(input: str, output: str, job: Job) -> dict:
    """What a worker runs: opsira's processing of one image, which writes beside `output`, hidden,
    and renames into place when every file is written."""
    # Dask runs a task per core, so OpenCV's own threads would only compete with the other tasks.
    _pipeline.set_opencv_threads(1)
    return _pipeline.process(input, output, job)
