"""Client stand-ins for unit tests (anything with an xadd method may serve as a client),
and the records and payloads the handler tests share."""

import json
import logging


class RecordingClient:
    """Records each xadd call as (args, kwargs) and returns an entry id."""

    def __init__(self):
        self.calls = []

    def xadd(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return "1-0"

    def payloads(self):
        """The decoded "payload" field of every recorded call, in order."""
        out = []
        for args, kwargs in self.calls:
            fields = args[1] if len(args) > 1 else kwargs["fields"]
            out.append(json.loads(fields["payload"]))
        return out


class RaisingClient:
    """xadd raises the given exception (an instance or a class) every time."""

    def __init__(self, exc):
        self.exc = exc
        self.calls = []

    def xadd(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        raise self.exc


class NullClient(RecordingClient):
    """Records as RecordingClient does, and xadd returns None."""

    def xadd(self, *args, **kwargs):
        super().xadd(*args, **kwargs)


def make_record(msg="hello", args=(), level=logging.INFO, **attrs):
    """A record as a logger at /src/app.py:42 makes it, with attrs set on it."""
    record = logging.LogRecord("app.test", level, "/src/app.py", 42, msg, args, None)
    for name, value in attrs.items():
        setattr(record, name, value)
    return record


def emitted_payload(handler, record):
    """The payload text the handler's emit appends for the record (to a recording client it
    installs as the handler's client), or None when it drops the record."""
    client = RecordingClient()
    handler._client = client
    assert handler.emit(record) is None
    return client.calls[0][0][1]["payload"] if client.calls else None
