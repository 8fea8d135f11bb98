"""python3 -m tulo.distributed: the opsira command line on a Dask cluster."""
import sys
import textwrap

from .. import Opsira, __version__
from .. import _opsira
from . import DeskewSettings, plan, run

PROGRAM = "tulo.distributed"
BAR_WIDTH = 30
HELP_WIDTH = 98


def kinds_text() -> str:
    names = Opsira()
    # "\0" holds each number to its name while the lines are wrapped.
    items = [f"{kind}\0{names.to_string(Opsira.EMatType(kind))}" for kind in range(1, 23)]
    text = textwrap.fill(", ".join(items), width=HELP_WIDTH, initial_indent="  ", subsequent_indent="  ")
    return text.replace("\0", " ")


USAGE = f"""Usage: python3 -m {PROGRAM} [--scheduler ADDRESS] [OPTION]... INPUT...
Derives the tulo image catalogue of every INPUT image on a Dask cluster, one task per image, and
writes it into OUTDIR/<name of the image>/, exactly as opsira does; with --deskew, writes a
levelled copy of each image as OUTDIR/<its file name>. An INPUT is an image file or a directory of
images; every worker must see INPUT and OUTDIR at the same paths.

      --scheduler ADDRESS  run on the Dask scheduler at ADDRESS (tcp://HOST:8786); without it, a
                           local cluster of N worker processes is started and stopped (-j N)
  -o, --out DIR            write into DIR (default: out)
  -k, --kinds LIST         save only these kinds: names or numbers, comma-separated
      --deskew             level each image by the angle of its rows of text and write it as
                           OUTDIR/<its file name>, in its own format; an image whose angle is not
                           found with confidence is written unchanged
      --max-angle DEG      with --deskew: search tilts up to DEG degrees (default {DeskewSettings().max_angle:g})
      --min-confidence X   with --deskew: turn only from this confidence (default {DeskewSettings().min_confidence:g})
      --expand             with --deskew: grow the canvas to hold the whole turned image
      --format FMT         write jpg (default), png or tif files; png and tif are lossless
  -r, --recursive          also take the images in subdirectories
      --resume             skip the images whose outputs are complete, without sending them
  -j, --jobs N             worker processes of the local cluster (default: one per core)
      --json               print one JSON object per image instead of the summary lines
  -q, --quiet              print neither summaries nor progress; JSON and errors are still shown
      --list-kinds         list the kinds with their numbers and what they show, and exit
  -h, --help               show this help and exit
  -V, --version            show the version and exit

Kinds, by name or number:
{kinds_text()}

Exit status: 0 when every image was processed, 1 when an image failed, 2 for a usage error.
"""


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
                raise _opsira.UsageError('option "--scheduler" needs a value')
        else:
            rest.append(word)
    return scheduler, rest


class ProgressBar:
    """opsira's progress bar: one line on a terminal, redrawn in place as images complete."""

    def __init__(self, stream, total: int, enabled: bool):
        self.stream, self.total, self.done, self.enabled = stream, total, 0, enabled and total > 0
        self.draw()

    def advance(self) -> None:
        self.done += 1
        self.draw()

    def draw(self) -> None:
        if self.enabled:
            filled = BAR_WIDTH * self.done // self.total
            self.stream.write(f"\r[{'#' * filled}{'.' * (BAR_WIDTH - filled)}] {self.done}/{self.total}")
            self.stream.flush()

    def wipe(self) -> None:
        if self.enabled:
            self.stream.write("\r\033[K")
            self.stream.flush()


def print_report(options: dict, report: dict) -> None:
    if not report["ok"]:
        complain(f"{report['input']}: {report['error']}")
    if options["json"]:
        print(_opsira.json_line(report), flush=True)
    elif report["ok"] and not options["quiet"]:
        print(_opsira.summary_line(report), flush=True)


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
        _opsira.prepare_output(options["out_root"])
    except RuntimeError as error:
        complain(str(error))
        return 2
    return run_batch(options, planned, scheduler)


def run_batch(options: dict, planned, scheduler) -> int:
    position = {task.output: index for index, task in enumerate(planned.tasks)}
    finished, printed, failed = {}, 0, 0
    bar = ProgressBar(sys.stderr, len(planned.tasks),
                      not options["quiet"] and len(planned.tasks) > 1 and sys.stderr.isatty())
    # Reports complete in any order and are printed in input order, as soon as all before them are.
    for report in run(planned.tasks, options["job"], client=scheduler, workers=options["jobs"]):
        failed += not report["ok"]
        finished[position[report["output"]]] = report
        bar.wipe()
        while printed in finished:
            print_report(options, finished.pop(printed))
            printed += 1
        bar.advance()
    bar.wipe()
    return 0 if failed == 0 and not planned.problems else 1


def main(args=None) -> int:
    try:
        scheduler, rest = own_options(sys.argv[1:] if args is None else args)
        options = _opsira.parse_options(rest)
    except _opsira.UsageError as error:
        return usage_error(str(error))
    if options["help"] or options["list_kinds"]:
        print(USAGE if options["help"] else _opsira.kinds_text(), end="")
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
