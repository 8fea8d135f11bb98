"""The binding itself: copies, lifetimes, overrides, errors, the GIL; the C++ suite covers behaviour."""
import gc
import inspect
import pathlib
import threading
import time

import cv2
import numpy as np
import pytest

import tulo

Kind = tulo.EMatType
SHAPES = str(pathlib.Path(__file__).resolve().parents[2] / "data" / "shapes.png")


@pytest.fixture(scope="module")
def photo():
    return cv2.imread(SHAPES)


def test_arrays_cross_without_copies(photo):
    workspace = tulo.Opsira(photo)
    mine = np.arange(12, dtype=np.uint8).reshape(3, 4)
    workspace.replace("mine", mine)
    assert np.shares_memory(workspace.images["mine"], mine)
    grey = workspace.get(Kind.greyscale)
    assert np.shares_memory(grey, workspace.get(Kind.greyscale))
    assert type(grey.base).__name__ == "PyCapsule"
    assert not np.shares_memory(workspace.get(Kind.original), photo)  # the original is a deep copy


def test_non_contiguous_argument_is_copied_once(photo):
    strided = photo[:, ::2]
    np.testing.assert_array_equal(tulo.invert(strided), cv2.bitwise_not(strided))
    workspace = tulo.Opsira()
    workspace.replace("strided", strided)
    assert not np.shares_memory(workspace.images["strided"], photo)


def test_arrays_outlive_their_workspace_and_stored_arrays_their_names(photo):
    workspace = tulo.Opsira(photo)
    grey = workspace.get(Kind.greyscale)
    workspace.replace("lent", np.full((2, 3), 7, np.uint8))
    lent = workspace.get("lent")
    del workspace
    gc.collect()
    np.testing.assert_array_equal(grey, cv2.cvtColor(photo, cv2.COLOR_BGR2GRAY))
    np.testing.assert_array_equal(lent, np.full((2, 3), 7, np.uint8))


def test_read_only_buffers_stay_read_only():
    frozen = np.zeros((2, 2), np.uint8)
    frozen.flags.writeable = False
    workspace = tulo.Opsira()
    workspace.replace("frozen", frozen)
    assert not workspace.get("frozen").flags.writeable


@pytest.mark.parametrize("dtype", [np.uint8, np.int8, np.uint16, np.int16, np.int32, np.float16, np.float32, np.float64])
@pytest.mark.parametrize("shape", [(4, 5), (4, 5, 1), (4, 5, 3), (4, 5, 4)])
def test_every_depth_and_channel_count_passes_both_ways(dtype, shape):
    image = (np.arange(np.prod(shape)) % 100).astype(dtype).reshape(shape)
    inverted = tulo.invert(image)
    assert inverted.dtype == image.dtype and inverted.shape == (shape[:2] if shape[-1] == 1 else shape)
    np.testing.assert_array_equal(inverted.reshape(shape).view(np.uint8), np.invert(image.view(np.uint8)))


@pytest.mark.parametrize("bad", [np.zeros((2, 2), np.int64), np.zeros(4, np.uint8), np.zeros((2, 2), ">u2")])
def test_arrays_that_are_no_image_are_refused(bad):
    with pytest.raises(TypeError, match="images are arrays of"):
        tulo.invert(bad)


def test_a_python_override_changes_every_operation_built_on_it(photo, tmp_path):
    class Renamed(tulo.Opsira):
        def to_string(self, kind):
            return "grey" if kind == Kind.greyscale else super().to_string(kind)

    class DarkSource(tulo.Opsira):
        def get(self, kind, *parameter):
            if kind == Kind.blur_greyscale:
                return np.zeros(photo.shape[:2], np.uint8)
            return super().get(kind, *parameter)

    renamed = Renamed(photo)
    assert renamed.save(Kind.greyscale, f"{tmp_path}/") == f"{tmp_path}/02_grey.jpg"
    assert "grey" in renamed.images
    dark = DarkSource(photo)
    assert dark.get(Kind.threshold_otsu).max() == 0
    assert "blur_greyscale" not in dark.images


@pytest.mark.parametrize("call, error, message", [
    (lambda: tulo.apply_gaussian_blur(np.zeros((3, 3), np.uint8), 2), ValueError, "invalid kernel size of 2"),
    (lambda: tulo.Opsira().get(Kind.user_defined), IndexError, 'type "user_defined"'),
    (lambda: tulo.Opsira("/nonexistent/x.png"), OSError, 'failed to read "/nonexistent/x.png"'),
    (lambda: tulo.Opsira(np.zeros((4, 4, 3), np.uint8)).save(Kind.original, "/nonexistent/"), OSError,
     'failed to write "/nonexistent/01_original.jpg"'),
    (lambda: tulo.Opsira().get(Kind.greyscale), RuntimeError, "original image has not been set"),
    (lambda: tulo.apply_canny_edge_detection(np.zeros((8, 8), np.float32), 10), tulo.OpenCVError, "Canny"),
])
def test_errors_keep_their_message_and_become_python_exceptions(call, error, message):
    with pytest.raises(error, match=message):
        call()
    assert issubclass(tulo.OpenCVError, RuntimeError)


def test_image_operations_release_the_gil(photo):
    """While one thread is inside a long C++ call, this one keeps running Python code."""
    large = cv2.resize(photo, None, fx=3, fy=3)
    call = []

    def blur():
        call.append(time.perf_counter())
        tulo.apply_gaussian_blur(large, 151)
        call.append(time.perf_counter())

    worker = threading.Thread(target=blur)
    stamps = []
    worker.start()
    while worker.is_alive():
        stamps.append(time.perf_counter())
        time.sleep(0.001)
    begin, end = call
    inside = [begin] + [stamp for stamp in stamps if begin < stamp < end] + [end]
    assert len(inside) > 3
    assert max(b - a for a, b in zip(inside, inside[1:])) < (end - begin) / 2


def test_each_group_of_the_api_gives_hand_checked_results(photo):
    square = np.zeros((10, 10), np.uint8)
    square[2:6, 3:8] = 255
    assert [c.tolist() for c in tulo.find_contours(square)] == [[[3, 2], [3, 5], [7, 5], [7, 2]]]
    assert tulo.convert_contours_to_rotated_rects(tulo.find_contours(square))[0][1] in [(4.0, 3.0), (3.0, 4.0)]
    np.testing.assert_array_equal(tulo.rotate(square, 90), np.rot90(square))
    assert tulo.resize(square, 0.0).size == 0
    assert tulo.intervals([10.2, 1.0, 10.0, 1.1], 1.0) == [[1.0, 1.1], [10.0, 10.2]]
    assert tulo.best_value_from_intervals([[1.0], [2.0, 4.0]]) == 3.0
    page = cv2.imread(str(pathlib.Path(SHAPES).with_name("page.png")))  # turned 4 degrees counter-clockwise
    estimate = tulo.estimate_skew(page)
    assert estimate.correction == pytest.approx(-4.0, abs=0.25) and estimate.confidence > tulo.min_skew_confidence
    assert tulo.deskew(page, estimate.correction).shape == page.shape
    iterations, labels, centres = tulo.k_means([1.0, 2.0, 10.0, 11.0], 2)
    assert labels.tolist() == [0, 0, 1, 1] and centres.tolist() == [1.5, 10.5] and iterations >= 1
    np.testing.assert_array_equal(cv2.bitwise_not(tulo.invert(photo)), photo)  # cv2 takes tulo's arrays
    workspace = tulo.Opsira(photo)
    np.testing.assert_array_equal(workspace.get(Kind.greyscale), cv2.cvtColor(photo, cv2.COLOR_BGR2GRAY))
    workspace.get(Kind.hough_lines)
    assert workspace.hough_lines.dtype == np.int32 and workspace.hough_lines.shape[1] == 4
    assert workspace.threshold_type != tulo.EThresholdType.invalid


@pytest.mark.parametrize("turns", [0, 1, 2, 3])
def test_orientation_turns_back_what_numpy_turned(photo, turns):
    page = cv2.imread(str(pathlib.Path(SHAPES).with_name("page.png")), cv2.IMREAD_GRAYSCALE)
    turned = np.rot90(page, turns)  # counter-clockwise, so 90 * (4 - turns) more stand it upright
    estimate = tulo.estimate_orientation(turned)
    assert estimate.correction == 90 * (4 - turns) % 360
    assert estimate.confidence >= tulo.min_orientation_confidence
    np.testing.assert_array_equal(tulo.turn_upright(turned, estimate.correction), page)
    assert tulo.estimate_orientation(photo).confidence < tulo.min_orientation_confidence
    with pytest.raises(ValueError, match="0, 90, 180 or 270"):
        tulo.turn_upright(page, 45)


def test_every_public_name_is_documented():
    for name, value in vars(tulo).items():
        if not name.startswith("_") and callable(value):
            assert inspect.getdoc(value), name
    for name, value in vars(tulo.Opsira).items():
        if not name.startswith("_"):
            assert inspect.getdoc(value), name
