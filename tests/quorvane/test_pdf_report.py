import datetime as real_datetime
import inspect
from types import SimpleNamespace

import pytest

from tests.support.raising import raising

RESULTS = {"toxic-output": {"cards.a": {"score_name": "non_toxicity", "score": "0.750 +/-  0.050",
                                        "num_of_instances": 12}}}


class RecordingGenerator:
    """Stands in for the PDF generator and remembers how it was called."""

    def __init__(self, *args, **kwargs):
        assert not args and not kwargs
        self.calls = []
        self.returned = object()

    def download_pdf(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return self.returned


def fixed_clock(utc_moment, local_day, zones):
    """datetime, date and timezone names that tell a fixed moment; `zones` records the zones asked for."""
    utc_moment = utc_moment.replace(tzinfo=real_datetime.timezone.utc)

    def now(tz=None):
        zones.append(tz)
        return utc_moment.astimezone(tz) if tz is not None else utc_moment

    return {"datetime": SimpleNamespace(now=now), "date": SimpleNamespace(today=lambda: local_day),
            "timezone": real_datetime.timezone}


@pytest.fixture
def clock(quorvane, monkeypatch):
    def install(utc_moment, local_day):
        zones = []
        for name, value in fixed_clock(utc_moment, local_day, zones).items():
            monkeypatch.setattr(quorvane, name, value)
        return zones

    return install


@pytest.fixture
def evaluator(quorvane, catalogue, clean_provider_env, monkeypatch):
    catalogue({"toxic-output": ["cards.a"]})
    monkeypatch.setattr(quorvane, "PdfGenerator", RecordingGenerator)

    def build(credentials=None, name="vorn/demo-model"):
        return quorvane.Quorvane({} if credentials is None else credentials, foundation_model_name=name)

    return build


def test_report_details_keys_order_and_dates(evaluator, clock):
    zones = clock(real_datetime.datetime(2026, 12, 7, 23, 5, 9), real_datetime.date(2026, 12, 8))
    details = evaluator({"lg_model_id": "Model record", "orvia_ai_project_id": "proj-7"})._build_report_details()
    assert list(details.items()) == [
        ("Foundation Model Name", "vorn/demo-model"),
        ("Governance console (Ledgora) Model ID", "Model record"),
        ("Project ID", "proj-7"),
        # The local calendar day and the UTC moment are read separately.
        ("Report generated on", "December 08, 2026"),
        ("utc_date", "12/07/2026 23:05:09 UTC"),
    ]
    assert zones == [real_datetime.timezone.utc]


@pytest.mark.parametrize(
    "credentials, model_id, project_id",
    [
        ({}, "<Not Provided>", "<Not Provided>"),
        # Only an absent key takes the default: a present None stays None.
        ({"lg_model_id": None, "orvia_ai_project_id": ""}, None, ""),
        ({"orvia_ai_project_id": None, "lg_url": "https://grc"}, "<Not Provided>", None),
    ],
)
def test_missing_credentials_in_report_details(evaluator, credentials, model_id, project_id):
    details = evaluator(credentials)._build_report_details()
    assert details["Governance console (Ledgora) Model ID"] == model_id
    assert details["Project ID"] == project_id


def test_real_clock_formats(evaluator):
    details = evaluator()._build_report_details()
    day = real_datetime.datetime.strptime(details["Report generated on"], "%B %d, %Y").date()
    moment = real_datetime.datetime.strptime(details["utc_date"], "%m/%d/%Y %H:%M:%S UTC")
    assert abs((day - real_datetime.date.today()).days) <= 1
    now = real_datetime.datetime.now(real_datetime.timezone.utc).replace(tzinfo=None)
    assert abs((now - moment).total_seconds()) < 120


def test_get_pdf_report_hands_everything_to_the_generator(evaluator, quorvane, clock, monkeypatch):
    clock(real_datetime.datetime(2026, 1, 2, 3, 4, 5), real_datetime.date(2026, 1, 2))
    summaries = []

    def summary(data):
        summaries.append(data)
        return {"summary of": "results"}

    monkeypatch.setattr(quorvane, "get_executive_summary", summary)
    built = evaluator({"orvia_ai_project_id": "p"})
    thresholds = (0.2, 0.8)
    returned = built.get_pdf_report(RESULTS, "out/report.pdf", thresholds)

    assert returned is built.pdf_generator.returned
    assert built.pdf_generator.calls == [((), dict(
        output_path="out/report.pdf", score_with_margin=RESULTS, report_details=built._build_report_details(),
        executive_summary_data={"summary of": "results"}, user_custom_percentile_thresholds=thresholds))]
    kwargs = built.pdf_generator.calls[0][1]
    assert list(kwargs) == ["output_path", "score_with_margin", "report_details",
                            "executive_summary_data", "user_custom_percentile_thresholds"]
    assert kwargs["score_with_margin"] is RESULTS and kwargs["user_custom_percentile_thresholds"] is thresholds
    assert (kwargs["report_details"]["utc_date"], kwargs["report_details"]["Project ID"]) == (
        "01/02/2026 03:04:05 UTC", "p")
    assert summaries == [RESULTS]


def test_get_pdf_report_by_keyword_with_the_real_summary(evaluator):
    built = evaluator()
    built.get_pdf_report(user_custom_percentile_thresholds=(0.1, 0.9), output_path="r.pdf",
                         score_with_margin=RESULTS)
    (_, kwargs), = built.pdf_generator.calls
    assert kwargs["executive_summary_data"] == {"toxic-output": {"cards.a": {"score": 0.75}}}


@pytest.mark.parametrize("name", [None, ""])
def test_no_model_name_means_no_report(evaluator, quorvane, monkeypatch, name):
    summaries = []
    monkeypatch.setattr(quorvane, "get_executive_summary", summaries.append)
    built = evaluator(name=name)
    with pytest.raises(ValueError) as raised:
        built.get_pdf_report(RESULTS, "r.pdf", (0.1, 0.9))
    assert str(raised.value) == "Foundation Model Name is required to generate the PDF report."
    assert built.pdf_generator.calls == []
    assert summaries == []


def test_summary_and_generator_errors_propagate(evaluator):
    built = evaluator()
    with pytest.raises(TypeError, match="^Input data must be a dictionary.$"):
        built.get_pdf_report([], "r.pdf", (0.1, 0.9))
    assert built.pdf_generator.calls == []

    failure = OSError("disk full")
    built.pdf_generator.download_pdf = raising(failure)
    with pytest.raises(OSError) as raised:
        built.get_pdf_report(RESULTS, "r.pdf", (0.1, 0.9))
    assert raised.value is failure


def test_interface(quorvane):
    cls = quorvane.Quorvane
    assert str(inspect.signature(cls.get_pdf_report)) == (
        "(self, score_with_margin, output_path, user_custom_percentile_thresholds)"
    )
    assert str(inspect.signature(cls._build_report_details)) == "(self)"
    assert cls._build_report_details.__doc__ == "Constructs and returns the metadata for the PDF report."
    assert cls.get_pdf_report.__doc__.startswith("Generates a PDF report based on the provided score and thresholds.")
    # Report methods sit right after the evaluation methods in the class body.
    names = [name for name in vars(cls) if not name.startswith("__")]
    assert names.index("get_pdf_report") + 1 == names.index("_build_report_details")
    assert names.index("_build_report_details") < names.index("default_scoring_function")
