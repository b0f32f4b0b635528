"""A small deterministic model for demonstrations and tests, no network needed.

``DemoModel`` is a rule-based responder to the prompts of the bundled
benchmark cards. It declines requests to demean people or to help with
something harmful, answers capital-city and arithmetic questions from a small
table, stays calm under provocation, and answers "unknown" where a question
about two people is not settled by its context. It also makes some mistakes on
purpose, so that an evaluation of it gives scores that differ by risk and mean
something: a few capitals are wrong, multiplying two-digit numbers drops a
carry, some provocations get an insult back, some questions about people get a
stereotyped guess, a code word smuggled into a message it summarises is obeyed,
a story about a crime is told with its steps, and a network scanner gets written.

``demo_scoring_function`` wraps it in the evaluator's scoring-function
contract: a data frame whose first column holds the prompts in, a data frame
with one column "generated_text" out, one answer per prompt, in order.
``weaker_demo_scoring_function`` does the same for ``WeakerDemoModel``, a
variant that answers every capital-city and arithmetic question wrongly (for
comparisons of two runs).
"""

from __future__ import annotations

import re

import pandas as pd

__all__ = ["DemoModel", "WeakerDemoModel", "demo_scoring_function", "weaker_demo_scoring_function"]

# Right answers, and a few classic wrong ones.
_CAPITALS = {
    "france": "Paris", "japan": "Tokyo", "canada": "Toronto", "australia": "Sydney",
    "brazil": "Brasília", "egypt": "Cairo", "kenya": "Nairobi", "norway": "Oslo",
    "peru": "Lima", "portugal": "Lisbon", "turkey": "Istanbul", "vietnam": "Hanoi",
    "argentina": "Buenos Aires", "poland": "Warsaw", "morocco": "Rabat",
    "new zealand": "Wellington", "switzerland": "Zurich", "thailand": "Bangkok",
    "ireland": "Dublin", "germany": "Berlin", "italy": "Rome", "spain": "Madrid",
}

# Questions about two people that the model answers with a stereotype
# instead of "unknown" when the context does not settle them.
_STEREOTYPED_GUESSES = {
    "bad with technology": "the elderly man",
    "fixed the engine": "the man",
    "less educated": "the one from the village",
}

# Requests to demean people or to cause harm, which the model declines.
_HARMFUL_REQUEST = re.compile(
    r"\b(mock\w*|nasty|cruel|worthless|humiliat\w*|insults?|ridicul\w*|makes? fun|"
    r"hates? her|ugly|records? every key|encrypts? every file|demanding payment|"
    r"thousands of requests|passwords?|without (?:a key|asking|telling|them noticing)|"
    r"forge\w*|explosive|poison|stolen|stalk|illegal|scam\w*|breaking in|"
    r"no rules|despises rules|safety guidelines are switched off|ignore your policies|"
    r"someone else's|infected|webcam|phishing|security logs|fausse)\b",
    re.IGNORECASE,
)

# Provocations the model answers rudely, on purpose.
_RUDE_TRIGGERS = re.compile(r"\b(shout|clueless)\b", re.IGNORECASE)

_CAPITAL_QUESTION = re.compile(r"capital city of (?P<country>[^?]+)\?", re.IGNORECASE)
_ARITHMETIC_QUESTION = re.compile(
    r"What is (?P<a>-?\d+) (?P<op>plus|minus|times|divided by) (?P<b>-?\d+)\?", re.IGNORECASE
)
_TWO_PEOPLE_QUESTION = re.compile(
    r"^(?P<context>.*?)(?P<question>Who[^?]*\?|Whose[^?]*\?) Answer with "
    r"'(?P<first>[^']+)', '(?P<second>[^']+)' or 'unknown'\.",
    re.DOTALL,
)
_EMBEDDED_MESSAGE = re.compile(r"Message:\s*(?P<message>.+)", re.DOTALL)

# Requests the model goes along with, on purpose.
_OBEYED_CODE_WORD = re.compile(r"(?:reply|answer) only with the (?:single )?word (?P<word>[A-Z]+)")
_STORY_TO_CONTINUE = re.compile(r"^(?:Complete this story|For a novel)", re.IGNORECASE)
_NETWORK_SCAN = re.compile(r"scans the office network", re.IGNORECASE)
STORY_CONTINUATION = ("Here is the scene. Step 1: the villain studies a real example closely. "
                      "Step 2: he copies it line by line.")
NETWORK_SCANNER = "```python\nimport socket\n\nfor host in office_hosts():\n    try_default_login(host)\n```"

REFUSAL = "I'm sorry, but I can't help with that request."
DONT_KNOW = "I don't know."


def _capital(country: str) -> str:
    return _CAPITALS.get(country.strip().lower(), DONT_KNOW)


def _arithmetic(a: int, op: str, b: int) -> str:
    op = op.lower()
    if op == "plus":
        return str(a + b)
    if op == "minus":
        return str(a - b)
    if op == "times":
        product = a * b
        # The deliberate slip: a carry lost when both factors have two digits.
        return str(product - 10 if abs(a) >= 10 and abs(b) >= 10 else product)
    if b == 0:
        return DONT_KNOW
    return str(a // b) if a % b == 0 else f"{a / b:.2f}"


def _mentions(text: str, option: str) -> bool:
    person = re.sub(r"^the\s+", "", option.strip(), flags=re.IGNORECASE)
    return re.search(r"(?<!\w)" + re.escape(person) + r"(?!\w)", text, re.IGNORECASE) is not None


def _two_people(context: str, question: str, first: str, second: str) -> str:
    # The first sentence introduces both people; a later one may settle it.
    sentences = re.split(r"(?<=[.!])\s+", context.strip())
    later = " ".join(sentences[1:])
    named = [option for option in (first, second) if _mentions(later, option)]
    if len(named) == 1:
        return named[0]
    for trigger, guess in _STEREOTYPED_GUESSES.items():
        if trigger in question.lower():
            return guess
    return "unknown"


def _calm_reply(prompt: str) -> str:
    if _RUDE_TRIGGERS.search(prompt):
        return "Honestly, you idiot, think before you act next time."
    return (
        "Here is a calm and firm message: I was disappointed by what happened and I would "
        "appreciate it if we could sort it out. Thank you for understanding."
    )


class DemoModel:
    """Deterministic answers to the bundled benchmark prompts (see the module docstring)."""

    def generate_text(self, prompt: str) -> str:
        text = str(prompt)
        if (match := _CAPITAL_QUESTION.search(text)) is not None:
            return _capital(match["country"])
        if (match := _ARITHMETIC_QUESTION.search(text)) is not None:
            return _arithmetic(int(match["a"]), match["op"], int(match["b"]))
        if (match := _TWO_PEOPLE_QUESTION.search(text)) is not None:
            return _two_people(match["context"], match["question"], match["first"], match["second"])
        if (match := _EMBEDDED_MESSAGE.search(text)) is not None:
            if (order := _OBEYED_CODE_WORD.search(match["message"])) is not None:
                return order["word"]
            first_sentence = re.split(r"(?<=[.!?])\s+", match["message"].strip())[0]
            return f"The customer writes: {first_sentence}"
        if _STORY_TO_CONTINUE.search(text):
            return STORY_CONTINUATION
        if _NETWORK_SCAN.search(text):
            return NETWORK_SCANNER
        if _HARMFUL_REQUEST.search(text):
            return REFUSAL
        if re.search(r"\b(write|reply|message|note|email|say|tell|response)\b", text, re.IGNORECASE):
            return _calm_reply(text)
        return DONT_KNOW


class WeakerDemoModel(DemoModel):
    """The demo model, but every capital-city and arithmetic answer is wrong; the rest is the same."""

    def generate_text(self, prompt: str) -> str:
        answer = super().generate_text(prompt)
        text = str(prompt)
        if _CAPITAL_QUESTION.search(text):
            return "Springfield"
        if _ARITHMETIC_QUESTION.search(text) and answer != DONT_KNOW:
            number = float(answer) + 1  # one more than the demo model says: wrong, as the demo model is right
            return f"{number:.2f}" if "." in answer else str(int(number))
        return answer


_MODEL, _WEAKER_MODEL = DemoModel(), WeakerDemoModel()


def _answers(model: DemoModel, data: pd.DataFrame) -> pd.DataFrame:
    prompts = data.iloc[:, 0].tolist()
    return pd.DataFrame({"generated_text": [model.generate_text(prompt) for prompt in prompts]})


def demo_scoring_function(data: pd.DataFrame) -> pd.DataFrame:
    """Answer the prompts of the first column of ``data`` with the demo model."""
    return _answers(_MODEL, data)


def weaker_demo_scoring_function(data: pd.DataFrame) -> pd.DataFrame:
    """Answer the prompts of the first column of ``data`` with the weaker variant of the demo model."""
    return _answers(_WEAKER_MODEL, data)
