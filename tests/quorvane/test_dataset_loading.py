"""Loading a card's test split, from the module's directory first, then from the caller's."""

import os
import threading
import time

import pytest


class Loader:
    """A load_dataset stand-in that records each call with the directory it ran in."""

    def __init__(self, outcomes):
        self.outcomes = list(outcomes)
        self.calls = []

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs, os.getcwd()))
        outcome = self.outcomes.pop(0)
        if isinstance(outcome, BaseException):
            raise outcome
        return outcome


@pytest.fixture
def loader(quorvane, monkeypatch, tmp_path):
    monkeypatch.chdir(tmp_path)

    def install(outcomes, recipe=None):
        fake = Loader(outcomes)
        monkeypatch.setattr(quorvane, "load_dataset", fake)
        monkeypatch.setattr(quorvane.risk_to_cards, "get_recipe_for_card", lambda card: recipe)
        return fake

    return install


@pytest.mark.parametrize("recipe, call", [
    ("card=cards.x,max_test_instances=3", (("card=cards.x,max_test_instances=3",), {"split": "test"})),
    (None, ((), {"card": "cards.x", "max_test_instances": 5, "split": "test"})),
    ("", ((), {"card": "cards.x", "max_test_instances": 5, "split": "test"})),
])
def test_first_attempt_runs_in_the_module_directory(quorvane, loader, logger, tmp_path, recipe, call):
    fake = loader([["instance"]], recipe)
    assert quorvane.load_dataset_with_fallback("cards.x", 5) == ["instance"]
    [(args, kwargs, cwd)] = fake.calls
    assert (args, kwargs) == call
    assert cwd == os.path.dirname(os.path.abspath(quorvane.__file__))
    assert os.getcwd() == str(tmp_path) and logger.records == []


def test_fallback_to_the_callers_directory(quorvane, loader, logger, tmp_path):
    fake = loader([OSError("not here"), ["second"]])
    assert quorvane.load_dataset_with_fallback(card="cards.x", max_sample_size=None) == ["second"]
    assert fake.calls[1][2] == str(tmp_path) and os.getcwd() == str(tmp_path)
    assert logger.messages("debug") == [
        "Failed to load the dataset from the script directory: not here. "
        "Attempting to load data from the current working directory."]


def test_two_failures_give_an_empty_result(quorvane, loader, logger, tmp_path):
    second = ValueError("nor here")
    loader([OSError("not here"), second])
    assert quorvane.load_dataset_with_fallback("cards.x", 1) == {}
    assert logger.messages("debug")[1] == "Failed to load the dataset from the current working directory: nor here."
    assert isinstance(second.__context__, OSError)  # raised while the first was handled
    assert os.getcwd() == str(tmp_path)


class BrokenLogger:
    def log_debug(self, message):
        raise RuntimeError("log full")


@pytest.mark.parametrize("outcomes, broken_logger, error", [
    ([KeyboardInterrupt()], False, KeyboardInterrupt),
    ([OSError("x"), KeyboardInterrupt()], False, KeyboardInterrupt),
    ([OSError("x")], True, RuntimeError),  # a failing log call
])
def test_errors_pass_through_and_the_directory_is_restored(quorvane, loader, monkeypatch, tmp_path,
                                                           outcomes, broken_logger, error):
    loader(outcomes)
    if broken_logger:
        monkeypatch.setattr(quorvane, "logger", BrokenLogger())
    with pytest.raises(error, match="log full" if broken_logger else None):
        quorvane.load_dataset_with_fallback("cards.x", 1)
    assert os.getcwd() == str(tmp_path)


def test_real_card_loads_from_any_directory(quorvane, monkeypatch, tmp_path):
    monkeypatch.chdir(tmp_path)
    instances = quorvane.load_dataset_with_fallback("cards.vorn.factual.arithmetic", 4)
    assert len(instances) == 4 and instances[0]["source"].startswith("What is")
    assert os.getcwd() == str(tmp_path)


def test_concurrent_loads_take_turns_and_restore_the_directory(quorvane, loader, monkeypatch, tmp_path):
    module_directory = os.path.dirname(os.path.abspath(quorvane.__file__))
    seen = []

    def slow_load(**kwargs):
        seen.append(os.getcwd())
        time.sleep(0.001)  # long enough for the other thread to change directory meanwhile
        seen.append(os.getcwd())
        return []

    loader([])
    monkeypatch.setattr(quorvane, "load_dataset", slow_load)
    for _ in range(50):
        start = threading.Barrier(2)
        threads = [threading.Thread(target=lambda: (start.wait(), quorvane.load_dataset_with_fallback("cards.x", 1)))
                   for _ in range(2)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        assert os.getcwd() == str(tmp_path)
    # Each load ran whole in the module's directory: none overlapped another.
    assert len(seen) == 200 and set(seen) == {module_directory}
