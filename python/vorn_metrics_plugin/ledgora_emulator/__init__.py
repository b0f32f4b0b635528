"""A local emulator of the Ledgora GRC service.

It lets the risk evaluator publish and read back metrics without a real
service: for tests, for the demo, and for trying out publication.  It runs two
real HTTP servers on 127.0.0.1 (werkzeug) and keeps its records in SQLite.

Start it from a shell::

    python -m vorn_metrics_plugin.ledgora_emulator --port 8080 --db ledgora.sqlite --model my-model

(``--tls-port`` sets the HTTPS login port, default 8443; port 0 takes any free
port; ``--help`` lists the rest.)  It prints the settings to give the
evaluator.  From Python::

    from vorn_metrics_plugin.ledgora_emulator import LedgoraEmulator

    with LedgoraEmulator(db="ledgora.sqlite") as ledgora:      # free ports
        ledgora.add_model("my-model")
        os.environ.update(ledgora.environment())             # VORN_IAM_URL
        credentials = {**ledgora.credentials("my-model"), ...}  # cloud login
        credentials = {**ledgora.credentials("my-model", mode="hxd"), ...}

What it serves
--------------
On ``ledgora.url`` (HTTP):

* ``POST /identity/token``: the identity service.  Form fields ``apikey`` and
  ``grant_type`` (``urn:vorn:params:oauth:grant-type:apikey``); answers
  ``{"access_token": ...}``, 401 for another API key.  The client finds it
  through ``VORN_IAM_URL`` (``ledgora.iam_url``).
* ``GET <prefix>/api/query?q=<statement>``: queries of the data-platform
  installation; rows as ``{"fields": {"field": [...]}}``.
* ``POST <prefix>/lggrc/api/v2/query`` with ``{"statement", "skipCount"}``:
  queries of the cloud installation; rows as ``{"fields": [...]}``.
* ``POST <prefix>/grc/api/contents`` and ``POST <prefix>/api/contents``:
  creation of ``Metric`` records (under a model) and ``MetricValue`` records
  (under a metric).  The answer carries the new id as ``"id"``, or, with
  ``create_answer="fields"``, as the "Resource ID" of a ``"fields"`` list.
* ``DELETE <prefix>/lggrc/api/v2/contents/<id>`` and
  ``DELETE <prefix>/api/contents/<id>``: deletion of a record with everything
  under it.

``<prefix>`` is any path of the base URL (or none); repeated slashes are
merged.  A data-platform base URL must contain "hxd": ``ledgora.hxd_url`` is
``ledgora.url + "/hxd"``.  The GRC endpoints want a bearer token that this
emulator issued (401 otherwise).  Statements other than the three the client
sends (see ``queries``) get a 400 with a JSON error, as does a body that is not
JSON (or nested too deep to read).  Resource ids are ASCII decimal digit
strings; any other id (other digits, or a number beyond SQLite's integer range)
names no record (404).  Every answer, errors included, is JSON.

On ``ledgora.hxd_host`` (HTTPS, a self-signed certificate made at start):

* ``POST /tarvex-api/v1/authorize`` with ``{"username", "api_key"}``: the
  data-platform login; answers ``{"token": ...}``, 401 for other credentials.

Admin endpoints on ``ledgora.url`` (no token): ``GET /_emulator/records``
(``?type=Metric`` filters), ``POST /_emulator/models`` with ``{"name"}``,
``POST /_emulator/faults`` with the fields of a fault, ``DELETE
/_emulator/faults``.

Records
-------
``db`` is a SQLite file (``":memory:"`` by default): a second run against the
same file reads back what the first one stored.  ``add_model(name)`` (or
``--model NAME``) registers a model record, reusing the id of a model of the
same name.  ``records(type)`` lists what is stored.

Fault injection
---------------
``ledgora.inject(endpoint, kind, status=500, body=None, times=1, skip=0)``
makes the next ``times`` calls of an endpoint fail, after ``skip`` calls went
through.  Endpoints: ``token``, ``authorize``, ``query``, ``contents``,
``delete``.  Kinds: ``status`` (that status with the JSON ``body``; also the
way to serve any hand-written JSON answer), ``not_json`` (an HTML page),
``null`` (the JSON document ``null``), ``drop`` (the connection is closed
without an answer).  A faulted call stores nothing.  ``clear_faults()`` drops
what is pending.  Every request is recorded in ``ledgora.calls`` (endpoint,
method, raw request target, merged path, query arguments, headers, body,
status), which keeps the latest 2000 (``max_calls``) whose bodies add up to at
most 16 MiB.

A record is checked against its parent and stored in one transaction, so
concurrent writers and deleters never leave a record whose parent is gone.
"""

from .faults import ENDPOINTS, FAULT_KINDS, Fault
from .server import DEFAULT_APIKEY, DEFAULT_HXD_APIKEY, DEFAULT_USERNAME, LedgoraEmulator
from .store import Record

__all__ = [
    "LedgoraEmulator",
    "Fault",
    "Record",
    "ENDPOINTS",
    "FAULT_KINDS",
    "DEFAULT_APIKEY",
    "DEFAULT_USERNAME",
    "DEFAULT_HXD_APIKEY",
]
