"""A card's lowest-scoring instances in its section of the report.

Prompts, answers, references and the judge's answers are untrusted text: each
is cut to a few lines with a mark where it was cut, every character is shown
as written (control characters as visible marks), line breaks are kept and
nothing in them is read as markup.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence

from reportlab.lib.units import mm
from reportlab.platypus import KeepTogether, Paragraph, Spacer

from .layout import grid_table
from .values import example_lines, report_text

EXAMPLES_HEADING = "Lowest-scoring instances"


def _score_text(score) -> str:
    if isinstance(score, (int, float)) and not isinstance(score, bool):
        return f"score {score:.3f}"
    return "score n/a" if score is None else f"score {report_text(score)}"


def _judge_text(judge) -> str:
    if not isinstance(judge, Mapping):
        return str(judge)
    return f"{judge.get('verdict', '')} (the judge's answer: {judge.get('answer', '')})"


def _cell(text, style) -> list[Paragraph]:
    return [Paragraph(line, style) for line in example_lines(text)]


def example_tables(examples: Sequence[Mapping], styles, width: float) -> list:
    """A heading and one small table per example (an instance record with its main "score"); none without examples."""
    if not examples:
        return []
    story: list = []
    for number, example in enumerate(examples):
        references = example.get("references") or []
        rows = [("Prompt", example.get("prompt", "")), ("Answer", example.get("answer", "")),
                ("References", "\n".join(str(reference) for reference in references))]
        if "judge" in example:
            rows.append(("Judge", _judge_text(example["judge"])))
        head = f"Instance {report_text(example.get('index', '?'))}, {_score_text(example.get('score'))}"
        cells = [[Paragraph(head, styles["head"]), ""]]
        cells += [[Paragraph(label, styles["cell"]), _cell(text, styles["line"])] for label, text in rows]
        table = grid_table(cells, [width * 0.16, width * 0.84], styles, [("SPAN", (0, 0), (-1, 0))])
        # The heading stays with the first example.
        story.append(KeepTogether([Paragraph(EXAMPLES_HEADING, styles["h4"]), table]) if number == 0 else table)
        story.append(Spacer(1, 2 * mm))
    return story
