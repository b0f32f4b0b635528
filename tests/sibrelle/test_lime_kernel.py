"""NativeLimeImageExplainer against LIME's own image explainer, and when a row uses it."""

import inspect
import types
import weakref
from typing import NamedTuple

import numpy as np
import pytest
from lime import lime_image

from sibrelle_support import brightness_scorer, colour_image, frame
from vorn_metrics_plugin.metrics.explainability.explainers.lime.sibrelle import (
    NativeLimeImageExplainer,
)

LimeImageExplainer = lime_image.LimeImageExplainer


class Raised(NamedTuple):
    type: type
    message: str


def test_the_native_explainer_is_a_python_subclass_with_lime_s_signature():
    assert NativeLimeImageExplainer.__bases__ == (LimeImageExplainer,)
    assert NativeLimeImageExplainer.__module__ == (
        "vorn_metrics_plugin.metrics.explainability.explainers.lime.sibrelle")
    assert inspect.signature(NativeLimeImageExplainer.data_labels) == inspect.signature(
        LimeImageExplainer.data_labels)
    explainer = NativeLimeImageExplainer(random_state=3, feature_selection="none")
    assert explainer.feature_selection == "none" and vars(explainer)


def recording_classifier(batches):
    """Keeps a copy of every batch; the probabilities depend on every pixel."""

    def classify(batch):
        batches.append(batch.copy())
        flat = batch.reshape(len(batch), -1).astype(float)
        return np.stack([flat.mean(axis=1), flat.max(axis=1)], axis=1)

    return classify


def data_labels(explainer, *args, **kwargs):
    batches = []
    args = list(args)
    args.insert(3, recording_classifier(batches))
    try:
        data, labels = explainer.data_labels(*args, **kwargs)
    except Exception as error:  # the kernel must fail as LIME fails
        return Raised(type(error), str(error))
    # The random state is left where LIME leaves it.
    return data, labels, batches, explainer.random_state.randint(0, 2 ** 31)


def assert_same_outcome(native, lime):
    if isinstance(lime, Raised) or isinstance(native, Raised):
        assert native == lime
        return
    (data, labels, batches, after), (lime_data, lime_labels, lime_batches, lime_after) = native, lime
    for ours, theirs in [(data, lime_data), (labels, lime_labels)] + list(zip(batches, lime_batches)):
        assert ours.dtype == theirs.dtype and ours.shape == theirs.shape
        assert np.array_equal(ours, theirs, equal_nan=ours.dtype.kind in "fc")
    assert len(batches) == len(lime_batches)
    assert after == lime_after


def image_of(dtype, channels, rng, shape=(9, 7)):
    values = rng.random(shape + ((channels,) if channels else ())) * 255
    return values.astype(dtype)


SEGMENT_MAPS = {
    "ids from 0": lambda rng: rng.integers(0, 5, (9, 7)),
    "ids from 1": lambda rng: rng.integers(1, 6, (9, 7)),
    "single segment": lambda rng: np.zeros((9, 7), dtype=np.int64),
    "single id 4": lambda rng: np.full((9, 7), 4),
    # Ids outside 0..n_features-1 are never hidden.
    "gaps and negatives": lambda rng: rng.choice([-2, 0, 2, 9], size=(9, 7)),
    # Three ids, one of them 3: features are 0..2, so segment 3 is never hidden.
    "id equal to the count": lambda rng: rng.choice([0, 1, 3], size=(9, 7)),
    "uint8 ids": lambda rng: rng.integers(0, 4, (9, 7)).astype(np.uint8),
    "int32 blocks": lambda rng: (np.arange(63).reshape(9, 7) // 10).astype(np.int32),
    # Ids far apart, and uint64 ids beyond the int64 range.
    "far-apart ids": lambda rng: rng.choice([1, 0, 2 ** 40, -(2 ** 40)], size=(9, 7)),
    "uint64 ids": lambda rng: rng.choice(np.array([2, 0, 2 ** 64 - 1, 2 ** 63], dtype=np.uint64),
                                         size=(9, 7)),
}

# (samples, batch size): dividing, not dividing, one short batch, batches of one.
SAMPLES_AND_BATCHES = [(12, 4), (13, 5), (6, 10), (5, 1)]


@pytest.mark.parametrize("dtype", [np.uint8, np.float32, np.float64])
@pytest.mark.parametrize("channels", [None, 1, 3], ids=["grey 2-D", "grey", "colour"])
@pytest.mark.parametrize("segment_map", list(SEGMENT_MAPS))
def test_data_labels_equal_lime(dtype, channels, segment_map):
    rng = np.random.default_rng(len(segment_map))
    image, hidden = image_of(dtype, channels, rng), image_of(dtype, channels, rng)
    segments = SEGMENT_MAPS[segment_map](rng)
    for samples, batch_size in SAMPLES_AND_BATCHES:
        for seed in (0, 8, 123):
            args = (image, hidden, segments, samples)
            native = data_labels(NativeLimeImageExplainer(random_state=seed), *args,
                                 batch_size=batch_size)
            assert not isinstance(native, Raised), native
            lime = data_labels(LimeImageExplainer(random_state=seed), *args,
                               batch_size=batch_size)
            assert_same_outcome(native, lime)


class OwnRandomState(np.random.RandomState):
    pass


def strided(image):
    return np.repeat(image, 2, axis=1)[:, ::2]


def set_pixel(array, where, value):
    array = array.copy()
    array[where] = value
    return array


def as_dtype(dtype):
    return lambda i, h, s, rng: dict(image=(i > 100).astype(dtype), hidden=(h > 50).astype(dtype))


# Each case changes some of image, hidden, segments, samples, options and random_state.
UNUSUAL_INPUTS = {
    "float ids": lambda i, h, s, rng: dict(segments=s.astype(float)),
    "hidden colours of another dtype": lambda i, h, s, rng: dict(hidden=h.astype(np.float32)),
    "hidden colours of another shape": lambda i, h, s, rng: dict(hidden=h[:, :, :1]),
    "map of another shape": lambda i, h, s, rng: dict(segments=s[:, :5]),
    "map with the channel axis": lambda i, h, s, rng: dict(segments=rng.integers(0, 4, i.shape)),
    "batch 0": lambda i, h, s, rng: dict(options={"batch_size": 0}),
    "negative batch": lambda i, h, s, rng: dict(options={"batch_size": -2}),
    "batch 2.0": lambda i, h, s, rng: dict(options={"batch_size": 2.0}),
    "numpy batch": lambda i, h, s, rng: dict(options={"batch_size": np.int16(2)}),
    "default batch": lambda i, h, s, rng: dict(options={}, samples=23),
    "Fortran-order image": lambda i, h, s, rng: dict(image=np.asfortranarray(i), hidden=np.asfortranarray(h)),
    "strided views": lambda i, h, s, rng: dict(image=strided(i), hidden=strided(h), segments=strided(s)),
    "nan pixels": lambda i, h, s, rng: dict(image=set_pixel(i, (0, 0), np.nan),
                                            hidden=set_pixel(h, (1, 1), -np.nan)),
    "own random state": lambda i, h, s, rng: dict(random_state=OwnRandomState),
    "no samples": lambda i, h, s, rng: dict(samples=0),
    "numpy sample count": lambda i, h, s, rng: dict(samples=np.int32(8)),
    "big-endian image": as_dtype(">f8"),
    "object image": as_dtype(object),
    "boolean image": as_dtype(bool),
    "float16 image": as_dtype(np.float16),
    "runs of many kilobytes": lambda i, h, s, rng: dict(
        image=image_of(np.float64, 3, rng, (40, 40)), hidden=image_of(np.float64, 3, rng, (40, 40)),
        segments=np.repeat([0, 1, 2, 1], 400).reshape(40, 40)),
}


@pytest.mark.parametrize("case", list(UNUSUAL_INPUTS))
def test_unusual_inputs_give_what_lime_gives(case):
    rng = np.random.default_rng(5)
    image, hidden = image_of(np.float64, 3, rng), image_of(np.float64, 3, rng)
    segments = rng.integers(0, 4, (9, 7))
    given = dict(image=image, hidden=hidden, segments=segments, samples=7, options={"batch_size": 3},
                 random_state=None)
    given.update(UNUSUAL_INPUTS[case](image, hidden, segments, rng))

    def run(cls):
        explainer = cls(random_state=4)
        if given["random_state"] is not None:
            explainer.random_state = given["random_state"](4)
        return data_labels(explainer, given["image"], given["hidden"], given["segments"], given["samples"],
                           **given["options"])

    assert_same_outcome(run(NativeLimeImageExplainer), run(LimeImageExplainer))


def test_progress_bar_and_classifier_calls_interleave_as_in_lime(monkeypatch):
    events = []

    class Bar:
        def __init__(self, iterable):
            self.iterable = iterable
            events.append(("bar", len(iterable)))

        def __iter__(self):
            for row in self.iterable:
                events.append(("row", row.tolist()))
                yield row
            events.append(("done",))

    monkeypatch.setattr(lime_image, "tqdm", Bar)

    def classify(batch):
        events.append(("classify", len(batch)))
        return np.zeros((len(batch), 2))

    rng = np.random.default_rng(2)
    image = image_of(np.uint8, 3, rng)
    segments = rng.integers(0, 3, (9, 7))
    logs = []
    for cls in (NativeLimeImageExplainer, LimeImageExplainer):
        events.clear()
        cls(random_state=1).data_labels(image, image * 0, segments, classify, 8, batch_size=3)
        logs.append(list(events))
    assert logs[0] == logs[1]
    assert [event for event in logs[0] if event[0] == "classify"] == [("classify", 3)] * 2 + [
        ("classify", 2)]


@pytest.mark.parametrize("hold", ["nothing", "reference", "weak reference", "read-only flag",
                                  "shape changed in place"])
def test_every_batch_reaches_the_classifier_as_a_new_array_would(hold):
    """A batch is filled again only when the classifier left nothing that could tell."""
    rng = np.random.default_rng(3)
    image = image_of(np.float32, 3, rng)
    kept, copies = [], []

    def classify(batch):
        assert batch.shape == (4, 9, 7, 3) and batch.base is None
        assert batch.flags.owndata and batch.flags.writeable and batch.flags.c_contiguous
        copies.append(batch.copy())
        if hold == "reference":
            kept.append(batch)
        elif hold == "weak reference":
            # As with LIME, the batches before are gone, not this one again.
            assert all(ref() is None for ref in kept)
            kept.append(weakref.ref(batch))
        elif hold == "read-only flag":
            batch.flags.writeable = False
        elif hold == "shape changed in place":
            batch.shape = (2, 2, 9, 7, 3)
        return np.zeros((len(batch), 2))

    NativeLimeImageExplainer(random_state=2).data_labels(
        image, image * 0, rng.integers(0, 4, (9, 7)), classify, 20, batch_size=4)
    assert len(copies) == 5
    if hold == "reference":
        assert all(np.array_equal(batch, copy) for batch, copy in zip(kept, copies))


# ---------------------------------------------------------------------------
# Rows: when the kernel runs, and that it changes nothing


@pytest.fixture
def kernel_calls(sibrelle, monkeypatch):
    """Counts the calls of the kernel's data_labels (which still runs)."""
    calls = []
    native = sibrelle.NativeLimeImageExplainer.data_labels

    def counted(self, *args, **kwargs):
        calls.append(type(self))
        return native(self, *args, **kwargs)

    monkeypatch.setattr(sibrelle.NativeLimeImageExplainer, "data_labels", counted)
    return calls


def grey_image():
    return colour_image(1)[:, :, :1].copy()


@pytest.mark.parametrize("raw", [True, False], ids=["raw explanation", "response record"])
def test_rows_explained_with_and_without_the_kernel_are_identical(
        make_explainer, sibrelle, monkeypatch, kernel_calls, raw):
    def explain():
        batches = []

        def scorer(batch, *meta):
            batches.append(np.array(batch))
            return brightness_scorer(batch)

        explainer = make_explainer(lime={"return_raw_explanation": raw,
                                         "perturbations_count": 25, "scoring_batch_size": 7})
        records = explainer.explain_data(frame([colour_image(), grey_image()]), scorer)
        return records, batches

    with_kernel, batches = explain()
    assert len(kernel_calls) == 2
    monkeypatch.setattr(sibrelle, "lime_image", types.SimpleNamespace(
        LimeImageExplainer=LimeImageExplainer))
    without_kernel, lime_batches = explain()
    assert len(kernel_calls) == 2
    assert with_kernel == without_kernel
    assert [b.shape[0] for b in batches] == [7, 7, 7, 4] * 2
    assert all(np.array_equal(ours, theirs) and ours.dtype == theirs.dtype
               for ours, theirs in zip(batches, lime_batches, strict=True))
    assert "error" not in str(with_kernel)


@pytest.mark.parametrize("change", [
    "lime_image substituted", "LimeImageExplainer replaced", "data_labels replaced",
])
def test_lime_runs_its_own_loop_when_its_explainer_is_not_the_one_the_kernel_extends(
        make_explainer, sibrelle, monkeypatch, kernel_calls, change):
    used, lime_data_labels = [], LimeImageExplainer.data_labels

    class Replacement(LimeImageExplainer):
        def data_labels(self, *args, **kwargs):
            used.append("replacement")
            return lime_data_labels(self, *args, **kwargs)

    if change == "lime_image substituted":
        monkeypatch.setattr(sibrelle, "lime_image", types.ModuleType("lime_image"))
        sibrelle.lime_image.LimeImageExplainer = Replacement
    elif change == "LimeImageExplainer replaced":
        monkeypatch.setattr(lime_image, "LimeImageExplainer", Replacement)
    else:
        monkeypatch.setattr(LimeImageExplainer, "data_labels", Replacement.data_labels)
    records = make_explainer().explain_data(frame([colour_image()]), brightness_scorer)[
        "local_explanations"]
    assert "error" not in records[0]
    assert kernel_calls == []
    assert used == ["replacement"]


@pytest.mark.parametrize("version, kernel_runs", [("0.2.1", False), ("0.3.0", False),
                                                  ("0.2.0.1", True)])
def test_the_kernel_runs_only_with_the_lime_release_it_was_checked_against(
        make_explainer, monkeypatch, tmp_path, kernel_calls, version, kernel_runs):
    # A distribution found first on the path is what importlib.metadata reports.
    info = tmp_path / f"lime-{version}.dist-info"
    info.mkdir()
    (info / "METADATA").write_text(f"Metadata-Version: 2.1\nName: lime\nVersion: {version}\n")
    monkeypatch.syspath_prepend(str(tmp_path))
    records = make_explainer().explain_data(frame([colour_image()]), brightness_scorer)[
        "local_explanations"]
    assert "error" not in records[0]
    assert len(kernel_calls) == int(kernel_runs)
