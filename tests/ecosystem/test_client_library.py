"""The Redis client library seen from quorbel: the run really uses the library
configuration it claims (scripts/test.sh runs the newest redis, the oldest one
supported, redis with hiredis, and no redis at all), and without the library
quorbel still imports and sends every record to its fallback file."""

import importlib.util
import json
import os
import subprocess

import quorbel
from child import child_command, child_env
from readback import read_fallback
from redis_proc import in_ci

# Set by scripts/test.sh: the redis version installed in this venv, or "absent".
EXPECT_REDIS = os.environ.get("QUORBEL_EXPECT_REDIS", "")
EXPECT_HIREDIS = os.environ.get("QUORBEL_EXPECT_HIREDIS", "") == "1"


def library_present():
    return importlib.util.find_spec("redis") is not None


def test_run_uses_the_library_configuration_it_claims():
    if EXPECT_REDIS == "absent":
        assert not library_present()
    elif EXPECT_REDIS or in_ci():
        # In CI every run but the one without the library must have it; otherwise
        # the tests that need it would skip and the run would still look green.
        assert library_present(), "the redis client library is missing from this venv"
        import redis

        if EXPECT_REDIS:
            assert redis.__version__ == EXPECT_REDIS
    assert quorbel.HAS_REDIS is library_present()
    assert (quorbel.redis is None) is (not library_present())
    if quorbel.HAS_REDIS:
        import redis
        from redis import utils

        assert quorbel.redis is redis
    if quorbel.HAS_REDIS and EXPECT_REDIS:
        # What the parser choice hangs on, in every supported version.
        assert bool(getattr(utils, "HIREDIS_AVAILABLE", False)) is EXPECT_HIREDIS


# Run in a child interpreter so that the import of quorbel happens afresh; where
# the library is installed, an import hook hides it.
WITHOUT_LIBRARY = r"""
    import json, logging, sys

    class HideRedis:
        def find_spec(self, name, path=None, target=None):
            if name == "redis" or name.startswith("redis."):
                raise ImportError("No module named %r" % name)
            return None

    sys.meta_path.insert(0, HideRedis())
    import quorbel

    out = {"has_redis": quorbel.HAS_REDIS, "redis_none": quorbel.redis is None}
    path = sys.argv[1]
    handler = quorbel.RedisStreamHandler(
        redis_url="redis://127.0.0.1:1/0", default_labels={"app": "nolib"},
        fallback_file_path=path + ".handler")
    out["handler_client_none"] = handler._client is None
    lg = logging.getLogger("nolib.handler")
    lg.propagate = False
    lg.addHandler(handler)
    lg.warning("direct %d", 1)

    factory = quorbel.get_logger(
        "nolib.factory", redis_url="redis://127.0.0.1:1/0", default_labels={"app": "nolib"},
        enable_fallback_file=True, fallback_path=path + ".factory")
    factory.propagate = False
    out["factory_client_none"] = factory.handlers[-1]._client is None
    app = quorbel.RedisAppLogger(factory)
    app.info("wrapped 100%", labels={"env": "ci"}, ctx={"n": 2})

    # An adopted client needs nothing from the library.
    sys.path.append(sys.argv[2])
    from fakes import RecordingClient

    memory = RecordingClient()
    adopted = quorbel.RedisStreamHandler(client=memory, stream_key="k", maxlen=10)
    adopted.handle(logging.LogRecord("nolib", logging.ERROR, "f", 1, "adopted", (), None))
    out["adopted"] = [[a[0], json.loads(a[1]["payload"])["msg"], kw] for a, kw in memory.calls]
    print(json.dumps(out))
"""


def test_import_and_fallback_without_the_library(tmp_path):
    base = str(tmp_path / "fallback.log")
    tests = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    proc = subprocess.run(child_command(WITHOUT_LIBRARY, base, tests), env=child_env(),
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    assert proc.stderr == ""  # nothing printed about the missing library or the losses
    out = json.loads(proc.stdout)
    assert out.pop("adopted") == [["k", "adopted", {"maxlen": 10, "approximate": True}]]
    assert out == {"has_redis": False, "redis_none": True,
                   "handler_client_none": True, "factory_client_none": True}
    [direct] = read_fallback(base + ".handler")
    assert (direct["level"], direct["msg"], direct["labels"], direct["ctx"]) == (
        "warning", "direct 1", {"app": "nolib"}, {})
    [wrapped] = read_fallback(base + ".factory")
    assert (wrapped["level"], wrapped["msg"], wrapped["labels"], wrapped["ctx"]) == (
        "info", "wrapped 100%", {"app": "nolib", "env": "ci"}, {"n": 2})
