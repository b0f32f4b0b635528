"""An interrupt during an explanation ends it; it never becomes a row's error record."""

import _thread
import threading

import pytest

from sibrelle_support import brightness_scorer, colour_image, frame


def test_an_interrupt_from_the_scoring_function_ends_the_explanation(make_explainer):
    explainer = make_explainer()
    interrupt = KeyboardInterrupt("stop")
    batches = []

    def scorer(batch, *meta):
        batches.append(len(batch))
        if len(batches) == 3:
            raise interrupt
        return brightness_scorer(batch)

    with pytest.raises(KeyboardInterrupt) as raised:
        explainer.explain_data(frame([colour_image(0), colour_image(1)]), scorer)
    assert raised.value is interrupt
    assert len(batches) == 3  # the second row was never started

    # The explainer is left usable: the next call explains both rows.
    records = explainer.explain_data(frame([colour_image(0), colour_image(1)]), brightness_scorer)
    assert [sorted(record) != ["error"] for record in records["local_explanations"]] == [True, True]


def test_ctrl_c_during_a_long_explanation_propagates(make_explainer):
    # Many perturbations in small batches keep the explanation busy; the main
    # thread is interrupted from outside, as Ctrl-C does.
    explainer = make_explainer(lime={"perturbations_count": 100000, "scoring_batch_size": 10})
    started = threading.Event()

    def scorer(batch, *meta):
        started.set()
        return brightness_scorer(batch)

    def interrupt_when_started():
        if started.wait(60):
            _thread.interrupt_main()

    interrupter = threading.Thread(target=interrupt_when_started)
    interrupter.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            explainer.explain_data(frame([colour_image(0)] * 50), scorer)
    finally:
        interrupter.join()
    assert started.is_set()
