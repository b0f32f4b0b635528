"""One explainer per thread: separate instances explain independently."""

import threading
from concurrent.futures import ThreadPoolExecutor

from sibrelle_support import brightness_scorer, colour_image, frame


def test_separate_instances_in_four_threads_give_the_single_thread_results(make_explainer):
    data = frame([colour_image(seed) for seed in range(3)])
    expected = make_explainer().explain_data(data, brightness_scorer)
    start = threading.Barrier(4)

    def explain(_):
        explainer = make_explainer()
        start.wait()
        return explainer.explain_data(data, brightness_scorer)

    with ThreadPoolExecutor(4) as pool:
        results = list(pool.map(explain, range(4)))
    assert all("input_features" in row for row in expected["local_explanations"])
    assert results == [expected] * 4
