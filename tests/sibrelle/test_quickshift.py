"""The module's quickshift against scikit-image's: identical segment maps, the calls
it hands to scikit-image, and its threads."""

import inspect
import os
import re
import subprocess
import sys
import warnings
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest
import skimage
from skimage.segmentation import quickshift as reference

from sibrelle_support import colour_image
from vorn_metrics_plugin.metrics.explainability.explainers.lime import sibrelle

THREADS = "VORN_SIBRELLE_THREADS"


def noise(shape, seed=0, dtype=np.uint8):
    image = np.random.default_rng(seed).integers(0, 256, size=shape).astype(np.uint8)
    return image if dtype == np.uint8 else (image / 255).astype(dtype)


def flat_quadrants():
    """Flat regions: equal densities and equal distances, broken only by the noise."""
    image = colour_image()
    image[:12, :12], image[12:, 12:] = (200, 30, 30), (30, 30, 200)
    return image


def non_finite():
    image = noise((9, 11, 3), 4, np.float64)
    image[2, 3, 1], image[5, 5, 0], image[7, 1, 2] = np.nan, np.inf, -np.inf
    return image


@pytest.fixture
def native_only(monkeypatch):
    """Fails a call that goes to scikit-image's function."""
    def refused(*args, **kwargs):
        raise AssertionError("the call went to scikit-image")

    monkeypatch.setattr(sibrelle, "skimage_quickshift", refused)


IMAGES = {
    "uint8 colour": (colour_image(), {}),
    "uint8 flat quadrants": (flat_quadrants(), {}),
    "uint8 1x1": (noise((1, 1, 3)), {}),
    "uint8 1xN": (noise((1, 9, 3), 1), {}),
    "uint8 Nx1": (noise((9, 1, 3), 2), {}),
    "uint8 3x500": (noise((3, 500, 3), 3), {}),
    "float64": (noise((17, 23, 3), 4, np.float64), {}),
    "float32": (noise((17, 23, 3), 5, np.float32), {}),
    "float16": (noise((8, 13, 3), 6, np.float16), {}),
    "float32 NaN and infinities": (non_finite().astype(np.float32), {"convert2lab": False}),
    "float64 NaN and infinities": (non_finite(), {}),
    "channels first": (noise((3, 12, 10), 7), {"channel_axis": 0}),
    "grey uint8 2-D": (noise((15, 19), 8), {"convert2lab": False}),
    "grey uint16": (noise((11, 12, 1), 9).astype(np.uint16) * 257, {"convert2lab": 0}),
    "grey int8": (noise((10, 14), 10).astype(np.int16).astype(np.int8), {"convert2lab": False}),
    "grey bool": (noise((10, 14), 11) > 127, {"convert2lab": False}),
    "grey 1-D": (noise((30,), 12), {"convert2lab": False}),
    "four channels": (noise((9, 10, 4), 13, np.float64), {"convert2lab": False}),
    "float64 0 to 255, big-endian": (noise((8, 9, 3), 14).astype(">f8"), {}),
    "uint8 Fortran order, reversed": (np.asfortranarray(noise((10, 12, 3), 15))[::-1], {}),
}
SETTINGS = [
    {"kernel_size": 1, "max_dist": 0},
    {"kernel_size": 2, "max_dist": 3, "ratio": 0.5},
    {"kernel_size": 3, "max_dist": 200, "ratio": 0.2},
    {"kernel_size": 4, "max_dist": 200, "ratio": 0.2, "rng": 7},
    {"kernel_size": 5},
    {"kernel_size": 6, "max_dist": 10.5, "ratio": 1, "rng": 0},
    # ceil(3 * kernel_size) is 4 in float32 and 5 in double
    {"kernel_size": float(np.float32(4 / 3)), "max_dist": 2, "rng": 2 ** 31 - 1},
    {"kernel_size": 1.5, "ratio": -0.3, "max_dist": 1e300},
    {"kernel_size": 2, "ratio": 3, "max_dist": float("inf")},
    {"kernel_size": 3, "max_dist": -1},
    {"kernel_size": 300, "max_dist": 50},
]


def with_warnings(function, *args, **kwargs):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = function(*args, **kwargs)
    return result, [(warning.category, str(warning.message)) for warning in caught]


@pytest.mark.parametrize("name", IMAGES)
def test_segment_maps_equal_scikit_image_s(native_only, name):
    image, fixed = IMAGES[name]
    for settings in SETTINGS:
        expected, expected_warnings = with_warnings(reference, image, **fixed, **settings)
        result, seen = with_warnings(sibrelle.quickshift, image, **fixed, **settings)
        assert result.dtype == expected.dtype and np.array_equal(result, expected), settings
        assert seen == expected_warnings


@pytest.mark.parametrize("image, settings", [
    (noise((64, 96, 3)), {"kernel_size": 4, "max_dist": 200, "ratio": 0.2}),
    (noise((64, 96, 3), 1, np.float32), {"kernel_size": 3}),
    (noise((30, 700, 3), 2), {"kernel_size": 2}),  # bands of rows in tiles of columns
    (noise((40, 50, 3), 3), {"kernel_size": 20}),  # windows too large to keep terms for
])
def test_results_do_not_depend_on_the_thread_count(native_only, monkeypatch, image, settings):
    expected = reference(image, **settings)
    for threads in ["1", "2", "5", None]:
        if threads is None:
            monkeypatch.delenv(THREADS, raising=False)
        else:
            monkeypatch.setenv(THREADS, threads)
        assert np.array_equal(sibrelle.quickshift(image, **settings), expected), threads


def test_calls_from_several_threads_at_once(native_only):
    images = [noise((48, 64, 3), seed) for seed in range(6)]
    with ThreadPoolExecutor(len(images)) as pool:
        results = list(pool.map(lambda image: sibrelle.quickshift(image, kernel_size=3), images))
    assert all(np.array_equal(result, reference(image, kernel_size=3))
               for result, image in zip(results, images))


@pytest.mark.parametrize("value", ["0", "-2", "two", "1.5"])
def test_a_malformed_thread_cap_is_refused(monkeypatch, value):
    monkeypatch.setenv(THREADS, value)
    message = f"{THREADS} must be a positive whole number of threads, not '{value}'"
    with pytest.raises(ValueError, match=re.escape(message)):
        sibrelle.quickshift(colour_image())


def outcome(function, args, kwargs):
    try:
        result = function(*args, **kwargs)
    except Exception as error:
        return type(error), str(error)
    arrays = result if isinstance(result, tuple) else (result,)  # return_tree gives three
    return [(np.asarray(array).dtype, np.asarray(array).tolist()) for array in arrays]


class Recorder:
    def __init__(self):
        self.calls = []

    def __call__(self, *args, **kwargs):
        self.calls.append(inspect.signature(reference).bind(*args, **kwargs).arguments)
        return reference(*args, **kwargs)


@pytest.mark.parametrize("args, kwargs", [
    ((colour_image(),), {"return_tree": True}),
    ((colour_image(),), {"sigma": 1}),
    ((colour_image().astype(np.complex64),), {}),
    ((colour_image().astype(np.longdouble),), {}),
    ((colour_image().tolist(),), {}),
    ((np.ma.masked_array(colour_image()),), {}),
    ((colour_image(), np.float32(0.5)), {}),
    ((colour_image(),), {"kernel_size": np.float64(2)}),
    ((colour_image(),), {"kernel_size": 0.5}),
    ((colour_image(),), {"kernel_size": float("nan")}),
    ((colour_image(),), {"channel_axis": np.int64(-1)}),
    ((colour_image(),), {"channel_axis": 3}),
    ((colour_image(),), {"rng": np.random.default_rng(1)}),
    ((colour_image(),), {"rng": -1}),
    ((colour_image(),), {"rng": True}),
    ((colour_image(),), {"convert2lab": None}),
    ((noise((5, 6, 4)),), {}),
    ((np.zeros((2, 3, 4, 3)),), {}),
    ((np.zeros((0, 4, 3)),), {}),
])
def test_calls_it_is_not_written_for_go_to_scikit_image(monkeypatch, args, kwargs):
    recorder = Recorder()
    monkeypatch.setattr(sibrelle, "skimage_quickshift", recorder)
    expected = outcome(reference, args, kwargs)
    assert outcome(sibrelle.quickshift, args, kwargs) == expected
    (arguments,) = recorder.calls
    given = inspect.signature(reference).bind(*args, **kwargs).arguments
    assert all(arguments[name] is value for name, value in given.items())


def test_another_scikit_image_release_runs_its_own_function(monkeypatch, make_explainer):
    monkeypatch.setattr(skimage, "__version__", "0.27.0")
    recorder = Recorder()
    monkeypatch.setattr(sibrelle, "skimage_quickshift", recorder)
    assert np.array_equal(sibrelle.quickshift(colour_image()), reference(colour_image()))
    assert len(recorder.calls) == 1
    # The explainer's segmentation keeps scikit-image's function too.
    function = make_explainer()._Sibrelle__get_segmentation_fn(colour_image())
    assert function.target_fn is skimage.segmentation.quickshift


def test_the_signature_is_scikit_image_s():
    assert inspect.signature(sibrelle.quickshift) == inspect.signature(reference)


FORK_AND_EXIT = """
import os
import numpy as np
from skimage.segmentation import quickshift as reference
from vorn_metrics_plugin.metrics.explainability.explainers.lime.sibrelle import quickshift

image = np.random.default_rng(0).integers(0, 256, (48, 64, 3), dtype=np.uint8)
expected = reference(image, kernel_size=3)
assert np.array_equal(quickshift(image, kernel_size=3), expected)
pid = os.fork()
if pid == 0:
    os._exit(0 if np.array_equal(quickshift(image, kernel_size=3), expected) else 3)
print(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))
"""


@pytest.mark.skipif(not hasattr(os, "fork"), reason="no fork() here")
def test_a_forked_child_segments_and_the_interpreter_exits_after_threads_ran():
    environment = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    environment.pop(THREADS, None)
    result = subprocess.run([sys.executable, "-c", FORK_AND_EXIT], env=environment,
                            capture_output=True, text=True, timeout=120)
    assert (result.returncode, result.stdout.split()) == (0, ["0"]), result.stderr
