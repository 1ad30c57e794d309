"""A burst written far faster than the shipper sends spans many chunks of the buffer, and the
shipper keeps catching up at a chunk's end: every record arrives, none twice."""

import pytest

from quorbel_batch import BatchClient


@pytest.mark.parametrize("size", [50, 300, 1000])
def test_burst_across_chunks(redis_server, redis_client, size):
    fields = {"payload": "x" * size}
    with BatchClient(redis_server.url, buffer_bytes=256 << 20) as client:
        for _ in range(100000):
            client.xadd("burst", fields)
        assert client.flush(timeout=60)
        stats = client.stats()
    assert (stats["sent"], stats["resent"], redis_client.xlen("burst")) == (100000, 0, 100000)
