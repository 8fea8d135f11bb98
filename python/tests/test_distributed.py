"""tulo.distributed on a real local cluster: two worker processes on the loopback interface."""
import json
import os
import signal
import subprocess
import sys
import time

import cv2
import numpy as np
import pytest

pytest.importorskip("distributed")
import tulo  # noqa: E402
import tulo.distributed as td  # noqa: E402

OPSIRA = os.environ.get("TULO_OPSIRA")
KINDS = "2,7,15,mosaic"  # a few kinds keep each task short; the tool's order puts the mosaic last


@pytest.fixture(scope="module")
def client():
    with td.client_or_local(None, workers=2) as connected:
        yield connected


@pytest.fixture
def inputs(tmp_path):
    """Four small photographs, an empty file and one that is no image, in a folder; a subfolder
    holds a photograph of the same name."""
    folder = tmp_path / "in"
    folder.mkdir()
    rng = np.random.default_rng(7)
    for index in range(4):
        image = cv2.GaussianBlur(rng.integers(0, 256, (90, 120, 3), dtype=np.uint8), (9, 9), 0)
        cv2.line(image, (5, 10 + index), (110, 40 + 5 * index), (0, 0, 0), 2)
        cv2.imwrite(str(folder / f"photo_{index}.png"), image)
    (folder / "sub").mkdir()
    (folder / "sub" / "photo_0.png").write_bytes((folder / "photo_0.png").read_bytes())
    (folder / "empty.png").write_bytes(b"")
    (folder / "text.jpg").write_bytes(b"no image at all")
    return folder


def without_seconds(lines):
    return [dict(json.loads(line), seconds=None) for line in lines.splitlines()]


def tree(root):
    return {str(path.relative_to(root)): path.read_bytes() for path in sorted(root.rglob("*")) if path.is_file()}


@pytest.mark.skipif(not OPSIRA, reason="needs the opsira tool (TULO_OPSIRA)")
@pytest.mark.parametrize("choice", [["-k", KINDS], ["-k", KINDS, "--format", "png"], ["--deskew", "--expand"],
                                    ["--orient", "--deskew", "--crop", "--margin", "3"]],
                         ids=["kinds", "png", "deskew", "page_steps"])
def test_outputs_reports_and_exit_code_are_the_tools(client, inputs, tmp_path, choice):
    arguments = [*choice, "-r", "--json", str(inputs)]
    tool = subprocess.run([OPSIRA, "-j", "2", "-o", str(tmp_path / "tool"), *arguments], capture_output=True, text=True)
    ours = subprocess.run([sys.executable, "-m", "tulo.distributed", "--scheduler", client.scheduler.address,
                           "-o", str(tmp_path / "dask"), *arguments], capture_output=True, text=True)
    assert ours.returncode == tool.returncode == 1
    expected = [dict(report, output=report["output"].replace("/tool/", "/dask/"),
                     files=[f.replace("/tool/", "/dask/") for f in report["files"]])
                for report in sorted(without_seconds(tool.stdout), key=lambda r: r["input"])]
    assert without_seconds(ours.stdout) == expected
    assert tree(tmp_path / "dask") == tree(tmp_path / "tool")
    # Only the command's own lines: a loaded machine can make Dask log a slow connection as well.
    messages = [line for line in ours.stderr.splitlines() if line.startswith("tulo.distributed:")]
    assert [line.replace("tulo.distributed:", "opsira:") for line in messages] == sorted(tool.stderr.splitlines())


def test_bad_files_are_reported_per_image_and_stop_nothing(client, inputs, tmp_path):
    reports = {os.path.basename(r["input"]): r for r in td.process(inputs, tmp_path, KINDS, client=client)}
    assert reports["empty.png"]["error"] == "empty file"
    assert reports["text.jpg"]["error"] == "damaged, or not an image OpenCV can decode"
    assert all(reports[f"photo_{i}.png"]["ok"] for i in range(4))


def busy_worker(client, seconds=30):
    """A worker with a task to do. The client submits in batches, so the first report can come
    before the scheduler has handed out the rest."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        busy = [address for address, keys in client.processing().items() if keys]
        if busy:
            return busy[0]
        time.sleep(0.01)
    pytest.fail("no worker took a task")


def test_a_killed_worker_leaves_every_image_complete_and_written_once(client, inputs, tmp_path):
    larger = cv2.resize(cv2.imread(str(inputs / "photo_0.png")), (640, 480))  # about a second a catalogue
    for index in range(12):
        cv2.imwrite(str(inputs / f"photo_{index}.png"), larger)
    planned = td.plan([str(inputs)], str(tmp_path / "out"))
    reports = td.run(planned.tasks, client=client)  # the whole catalogue, so that tasks take a while
    first = next(reports)
    busy = busy_worker(client)
    os.kill(client.run(os.getpid, workers=[busy])[busy], signal.SIGKILL)
    outcome = {r["input"]: r for r in [first, *reports]}
    photos = [task for task in planned.tasks if "photo" in task.input]
    assert all(outcome[task.input]["ok"] and td.is_complete(task, td.Job()) for task in photos)
    assert sorted(os.listdir(tmp_path / "out")) == sorted(os.path.basename(t.output[:-1]) for t in photos)
    assert all(len(os.listdir(task.output)) == 22 for task in photos)


@pytest.mark.parametrize("choice", [{"kinds": KINDS}, {"kinds": KINDS, "format": "png"}, {"deskew": True}],
                         ids=["kinds", "png", "deskew"])
def test_resume_does_no_work_the_second_time(client, inputs, tmp_path, choice):
    photos = [str(inputs / f"photo_{i}.png") for i in range(4)]
    first = list(td.process(photos, str(tmp_path), client=client, **choice))
    written = {file: os.stat(file).st_mtime_ns for report in first for file in report["files"]}
    no_cluster = object()  # submitting anything to it would fail
    again = list(td.process(photos, str(tmp_path), client=no_cluster, resume=True, **choice))
    assert all(report["skipped"] for report in again)
    assert sorted(file for report in again for file in report["files"]) == sorted(written)
    assert {file: os.stat(file).st_mtime_ns for file in written} == written


@pytest.mark.parametrize("output, own, others", [
    ("photo_0/", [".photo_0.tmp-41-0", ".photo_0.tmp-41-1.old"],
     [".photo_0.tmp-42-0.x", ".photo_0-2.tmp-43-0", "photo_0.x"]),  # of "photo_0.x/" and "photo_0-2/"
    ("photo_0.png", [".photo_0.tmp-41-0.png"], [".photo_0.tmp-42-0.jpg", ".photo_0-2.tmp-43-0.png", "photo_0.jpg"]),
], ids=["folder", "file"])
def test_what_dead_attempts_left_is_removed_and_nothing_else(tmp_path, output, own, others):
    for name in own + others:
        (tmp_path / name).mkdir() if output.endswith("/") else (tmp_path / name).touch()
    td.remove_leftovers([td.Task("photo_0.png", f"{tmp_path}/{output}")])
    assert sorted(os.listdir(tmp_path)) == sorted(others)


@pytest.mark.parametrize("option", [["--deskew", "-k", "2"], ["--deskew", "--format", "png"], ["--expand"]])
def test_choices_the_tool_refuses_are_usage_errors(option, capsys):
    from tulo.distributed.__main__ import main

    assert main(option + ["in.png"]) == 2
    assert "deskew" in capsys.readouterr().err


@pytest.mark.parametrize("choice", [{"kinds": "2", "deskew": True}, {"format": "png", "deskew": True},
                                    {"format": "gif"}, {"kinds": "sharpen"}])
def test_choices_the_tool_refuses_are_value_errors(choice):
    with pytest.raises(ValueError):
        td.make_job(**choice)


def test_the_local_cluster_listens_on_the_loopback_interface_only(client):
    from distributed.comm import get_tcp_server_addresses

    def http_hosts(dask_worker):  # the scheduler too
        return {address[0] for address in get_tcp_server_addresses(dask_worker.http_server)}

    assert set().union(http_hosts(client.cluster.scheduler), *client.run(http_hosts).values()) == {td.LOOPBACK}
    assert client.scheduler.address.startswith(f"tcp://{td.LOOPBACK}:")


def text_page(degrees, seed):
    """A page of bars like lines of text, turned by `degrees`, on paper."""
    rng = np.random.default_rng(seed)
    page = np.full((500, 380), 235, np.uint8)
    for y in range(10, 480, 14):
        for x in range(8, 340, int(rng.integers(14, 30))):
            cv2.rectangle(page, (x, y), (x + int(rng.integers(4, 10)), y + 5), 20, cv2.FILLED)
    turn = cv2.getRotationMatrix2D((190, 250), degrees, 1.0)
    return cv2.warpAffine(page, turn, (380, 500), borderValue=235)


def test_the_pages_of_a_multi_page_file_are_levelled_into_one_file(client, tmp_path):
    pages = [text_page(3.0, 1), text_page(0.0, 2), text_page(-2.0, 3)]
    assert cv2.imwritemulti(str(tmp_path / "book.tif"), pages)
    reports = list(td.process([tmp_path / "book.tif"], tmp_path / "out", deskew=True, client=client))
    assert sorted((r["page"], r["ok"], r["deskewed"]) for r in reports) == [(1, True, True), (2, True, False),
                                                                           (3, True, True)]
    ok, written = cv2.imreadmulti(str(tmp_path / "out" / "book.tif"), flags=cv2.IMREAD_UNCHANGED)
    assert ok and len(written) == 3
    np.testing.assert_array_equal(written[1], pages[1])
    assert [abs(tulo.estimate_skew(page).correction) < 0.2 for page in (written[0], written[2])] == [True, True]
