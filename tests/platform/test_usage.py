import pytest

from vorn_metrics_plugin.mra.usage import Usage


@pytest.mark.parametrize(
    "latencies, tokens, line",
    [
        ([], [], "Usage: 0 requests sent, 2 answers from the cache, 1 retries, latency n/a (no request sent), "
                 "tokens not reported"),
        ([0.4, 0.1, 1.0, 0.3, 0.2], [(3, 2), (None, None), (4, None)],
         "Usage: 5 requests sent, 2 answers from the cache, 1 retries, "
         "latency median 0.300 s / 95th percentile 0.880 s, tokens 7 in / 2 out"),
        ([0.5], [(None, 6)], "Usage: 1 requests sent, 2 answers from the cache, 1 retries, "
                             "latency median 0.500 s / 95th percentile 0.500 s, tokens not reported in / 6 out"),
    ],
)
def test_summary_line_and_report_details_carry_the_same_figures(latencies, tokens, line):
    usage = Usage()
    for seconds in latencies:
        usage.request_sent(seconds)
    for counts in tokens:
        usage.tokens(*counts)
    usage.answer_from_cache()
    usage.answer_from_cache()
    usage.retry()
    assert usage.summary_line() == line
    details = usage.report_details()
    assert list(details) == ["Usage: requests sent", "Usage: answers from the cache", "Usage: retries",
                             "Usage: latency", "Usage: tokens"]
    assert all(text in line for text in details.values())
