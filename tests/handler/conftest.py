"""One suite over two implementations: the native module and its Python equivalent."""

import types

import pytest

import quorbel
import reference
from fakes import emitted_payload

IMPLEMENTATIONS = {
    "native": types.SimpleNamespace(_merge_labels=quorbel._merge_labels,
                                    _now_ns=quorbel._now_ns, payload_text=emitted_payload),
    "reference": reference,
}


TS = "1700000000123456789"


@pytest.fixture
def fixed_ts(monkeypatch):
    """_now_ns answers the TS it returns."""
    monkeypatch.setattr(quorbel, "_now_ns", lambda: TS)
    return TS


@pytest.fixture(scope="session", params=sorted(IMPLEMENTATIONS))
def impl(request):
    """_merge_labels, _now_ns and payload_text(handler, record) of one implementation;
    payload_text gives the text emit sends, or None when emit drops the record."""
    return IMPLEMENTATIONS[request.param]
