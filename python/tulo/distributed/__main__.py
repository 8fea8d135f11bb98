"""python3 -m tulo.distributed: the opsira command line on a Dask cluster."""
import sys

from .. import __version__
from .. import _pipeline
from . import plan, run

PROGRAM = "tulo.distributed"

USAGE = _pipeline.help_text(f"""Usage: python3 -m {PROGRAM} [--scheduler ADDRESS] [OPTION]... INPUT...
Derives the tulo image catalogue of every INPUT image on a Dask cluster, one task per image, and
writes it into OUTDIR/<name of the image>/, exactly as opsira does; with --deskew, writes a
levelled copy of each image as OUTDIR/<its file name>. An INPUT is an image file or a directory of
images; every worker must see INPUT and OUTDIR at the same paths.
""")


def complain(message: str) -> None:
    print(f"{PROGRAM}: {message}", file=sys.stderr, flush=True)


def usage_error(message: str) -> int:
    complain(message)
    print(f"Try 'python3 -m {PROGRAM} --help' for more information.", file=sys.stderr)
    return 2


def own_options(args: list) -> tuple:
    """(scheduler address, the other arguments): --scheduler is the one option opsira does not have."""
    scheduler, rest = None, []
    words = iter(args)
    for word in words:
        if word == "--":
            rest += [word, *words]
        elif word.startswith("--scheduler="):
            scheduler = word.partition("=")[2]
        elif word == "--scheduler":
            scheduler = next(words, None)
            if scheduler is None:
                raise _pipeline.UsageError('option "--scheduler" needs a value')
        else:
            rest.append(word)
    return scheduler, rest


def draw(progress, shown: bool) -> None:
    """The pipeline's progress bar on the standard error, redrawn in place."""
    if shown:
        sys.stderr.write(f"\r{progress.bar()}")
        sys.stderr.flush()


def wipe(shown: bool) -> None:
    if shown:
        sys.stderr.write("\r\033[K")
        sys.stderr.flush()


def print_report(options: dict, report: dict) -> None:
    if not report["ok"]:
        complain(f"{report['input']}: {report['error']}")
    if options["json"]:
        print(_pipeline.json_line(report), flush=True)
    elif report["ok"] and not options["quiet"]:
        print(_pipeline.summary_line(report), flush=True)


def quoted(items: list) -> str:
    return ", ".join(f'"{item}"' for item in items)


def process(options: dict, scheduler) -> int:
    job = options["job"]
    planned = plan(options["inputs"], options["out_root"], job, recursive=options["recursive"])
    for problem in planned.problems:
        complain(problem)
    if not planned.tasks:
        # Only folders can come out empty, so the inputs are the folders searched.
        complain(f"no images found in {quoted(options['inputs'])}")
        return 1
    try:
        _pipeline.prepare_output(options["out_root"])
    except RuntimeError as error:
        complain(str(error))
        return 2
    return run_batch(options, planned, scheduler)


def run_batch(options: dict, planned, scheduler) -> int:
    position = {(task.output, task.page): index for index, task in enumerate(planned.tasks)}
    failed = 0
    progress = _pipeline.Progress(len(planned.tasks))
    shown = not options["quiet"] and len(planned.tasks) > 1 and sys.stderr.isatty()
    draw(progress, shown)
    tally = _pipeline.BlankTally()

    def deliver(report: dict) -> None:
        tally.add(report)
        print_report(options, report)

    # Reports complete in any order and are printed in input order, as soon as all before them are.
    in_order = _pipeline.InOrder(deliver)
    for report in run(planned.tasks, options["job"], client=scheduler, workers=options["jobs"]):
        failed += not report["ok"]
        wipe(shown)
        index = position[(report["output"], report.get("page", 0))]
        in_order.add(index, report)
        progress.finish(index)
        draw(progress, shown)
    wipe(shown)
    if options["job"].crop and not options["quiet"] and not options["json"]:
        print(tally.line(), flush=True)
    return 0 if failed == 0 and not planned.problems else 1


def main(args=None) -> int:
    try:
        scheduler, rest = own_options(sys.argv[1:] if args is None else args)
        options = _pipeline.parse_options(rest)
    except _pipeline.UsageError as error:
        return usage_error(str(error))
    if options["help"] or options["list_kinds"]:
        print(USAGE if options["help"] else _pipeline.kinds_text(), end="")
        return 0
    if options["version"]:
        print(f"{PROGRAM} {__version__}")
        return 0
    if not options["inputs"]:
        return usage_error("no INPUT given")
    try:
        return process(options, scheduler)
    except OSError as error:
        complain(str(error))
        return 1
    except KeyboardInterrupt:
        return 130  # as a shell reports a program ended by Ctrl-C


if __name__ == "__main__":
    sys.exit(main())
