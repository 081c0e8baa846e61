"""zorvo.aio over all four transports: results and errors equal to the blocking zorvo clients',
many calls in flight with some cancelled, async streams, async with and close, an event loop that
goes on while the engine is stopped, fork and successive event loops, and resources over many calls."""

import asyncio
import contextlib
import gc
import glob
import os
import random
import struct
import time

import numpy as np
import pytest

import zorvo
import zorvo.aio
from engine_util import require_engine_binary, running_engine
from hostile_probes import live_threads, open_descriptors, resident_bytes
from test_zorvo import TRANSPORTS, make_client, paused


@pytest.fixture(scope="module", autouse=True)
def threads_back_to_idle():
    """The worker threads the calls started end once idle (after 5 s): waited for at the end, so that
    the thread counts of the tests that follow see only their own."""
    before = live_threads()
    yield
    deadline = time.monotonic() + 10
    while live_threads() > before and time.monotonic() < deadline:
        time.sleep(0.1)


@pytest.fixture(scope="module")
def engine():
    require_engine_binary()
    with running_engine(tcp=True, unix=True, shm=True, hybrid=True, pool_size="64M") as running:
        yield running


@pytest.fixture(scope="module")
def slow_engine():
    """Answers each request 2 ms after it arrived, with any number in flight; its pool has a slot for
    more calls than a client has mailbox cells."""
    require_engine_binary()
    with running_engine(tcp=True, unix=True, shm=True, hybrid=True, pool_size="1G",
                        extra_args=["--delay-us", "2000"]) as running:
        yield running


@pytest.fixture(params=["asyncio", "uvloop"])
def run(request):
    """Runs a coroutine to its end on asyncio's default loop, or on uvloop's where it installs."""
    if request.param == "asyncio":
        return asyncio.run
    uvloop = pytest.importorskip("uvloop")
    return uvloop.run


def call(client, method, shape, dtype, data, model_id=0):
    """The call of either module's client, with the socket client's model id where it takes one."""
    args = (model_id,) if isinstance(client, (zorvo.ZorvoClient, zorvo.aio.ZorvoClient)) else ()
    return getattr(client, method)(*args, shape, dtype, data)


async def outcome(awaitable):
    try:
        return await awaitable
    except Exception as error:  # noqa: BLE001 - compared with the blocking client's
        return error


def same_outcome(new, old):
    if isinstance(old, Exception):
        return type(new) is type(old) and str(new) == str(old)
    if isinstance(old, zorvo.Tensor):
        return isinstance(new, zorvo.Tensor) and (new.shape, new.dtype, bytes(new)) == (old.shape, old.dtype, bytes(old))
    return new == old


@pytest.mark.parametrize("transport", TRANSPORTS)
def test_results_and_errors_equal_the_blocking_clients(engine, transport, run):
    blocking = make_client(zorvo, engine, transport)
    cases = [([768], "uint8", bytes(range(256)) * 3, 0), ([2, 2], "float32", np.arange(4, dtype=np.float32).tobytes(), 0),
             ([1], "complex", b"\x00", 0), ([1], "uint8", [1, "x"], 0), ([1], "uint8", [256], 0)]
    cases += [([1], "uint8", b"\x00", 2)] if transport in ("unix", "tcp") else [([1] * 9, "uint8", b"", 0)]

    async def main():
        client = make_client(zorvo.aio, engine, transport)
        for shape, dtype, data, model in cases:
            for method in ("infer", "infer_tensor"):
                try:
                    old = call(blocking, method, shape, dtype, data, model)
                except Exception as error:  # noqa: BLE001
                    old = error
                new = await outcome(call(client, method, shape, dtype, data, model))
                assert same_outcome(new, old), (method, shape, dtype, new, old)
        # A coroutine like any other: tasks, gather and wait_for take it.
        task = asyncio.create_task(call(client, "infer", [2], "uint8", b"\x01\x02"))
        assert await task == [1, 2]
        assert await asyncio.wait_for(call(client, "infer", [1], "uint8", b"\x03"), 5) == [3]

    run(main())


@pytest.mark.parametrize("transport", TRANSPORTS)
def test_hundreds_in_flight_with_cancellations_each_get_their_own_answer(slow_engine, transport):
    async def main():
        client = make_client(zorvo.aio, slow_engine, transport)
        rng = random.Random(7)

        async def one(index):
            data = index.to_bytes(4, "little") * 4
            try:
                if rng.random() < 0.3:  # cancelled at a random point of its wait, unless answered by then
                    return await asyncio.wait_for(call(client, "infer", [16], "uint8", data),
                                                  rng.uniform(0, 0.004)) == list(data)
                return bytes(await call(client, "infer_tensor", [16], "uint8", data)) == data
            except asyncio.TimeoutError:
                return None

        for _ in range(2):  # later calls, after the cancelled ones' answers came, are right too
            results = await asyncio.gather(*(one(i) for i in range(200)))
            assert all(r in (None, True) for r in results) and results.count(True) > 80
        await client.close()

    asyncio.run(main())


def socket_inodes():
    links = set()
    for fd in os.listdir("/proc/self/fd"):
        with contextlib.suppress(OSError):  # the listing's own descriptor is gone by now
            links.add(os.readlink(f"/proc/self/fd/{fd}"))
    return {link for link in links if link.startswith("socket:")}


@pytest.mark.parametrize("transport", ["unix", "tcp"])
def test_more_tasks_than_the_pool_keeps_reuse_their_connections(slow_engine, transport, run):
    """64 tasks calling again and again on a client that keeps 8 idle connections: the calls that end
    in one turn of the loop leave their connections to the calls their tasks start next, so the
    client connects 64 times, not once per call; what is still idle afterwards is cut back to 8."""
    async def main():
        client = make_client(zorvo.aio, slow_engine, transport)
        before, seen = socket_inodes(), set()

        async def task(index):
            for call_number in range(20):
                data = struct.pack("<IIQ", index, 0, call_number)
                assert bytes(await client.infer_tensor(1, [16], "uint8", data)) == data
                seen.update(socket_inodes() - before)

        await asyncio.gather(*(task(i) for i in range(64)))
        assert 64 <= len(seen) <= 72, len(seen)
        await asyncio.sleep(0)
        assert len(socket_inodes() - before) <= 8
        await client.close()

    run(main())


@pytest.mark.parametrize("transport", ["unix", "tcp"])
def test_async_streams(engine, transport, run):
    async def main():
        async with make_client(zorvo.aio, engine, transport) as client:
            sent = np.array([1.5, -2.0], np.float32)
            tensors = [t async for t in client.infer_stream_tensor(1, [2], "float32", sent.tobytes())]
            assert len(tensors) == 8 and all((np.asarray(t) == sent).all() for t in tensors)
            assert [x async for x in client.infer_stream(3, [2], "uint8", b"ab")] == \
                list(make_client(zorvo, engine, transport).infer_stream(3, [2], "uint8", b"ab"))
            stream = client.infer_stream(2, [1], "uint8", b"\x09")  # 4 items, an error, 4 items
            items = [await stream.__anext__() for _ in range(4)]
            with pytest.raises(RuntimeError, match="scripted stream failure"):
                await stream.__anext__()
            assert items + [x async for x in stream] == [[9]] * 8
            with pytest.raises(ConnectionError):
                await zorvo.aio.ZorvoClient("unix:///nonexistent").infer_stream(1, [1], "uint8", b"\x00").__anext__()

    run(main())


@pytest.mark.parametrize("transport", TRANSPORTS)
def test_async_with_and_close(engine, transport):
    async def main():
        client = make_client(zorvo.aio, engine, transport)
        description = repr(client)
        assert description.startswith("<zorvo.aio.")
        async with client as entered:
            assert entered is client
            assert await call(client, "infer", [1], "uint8", b"\x07") == [7]
        assert repr(client) == description[:-1] + " (closed)>"
        await client.close()  # a second close does nothing
        for method in ("infer", "infer_tensor"):
            with pytest.raises(ValueError, match="closed client"):
                await call(client, method, [1], "uint8", b"\x01")

    asyncio.run(main())


async def worst_lag(stop, period=0.001):
    loop = asyncio.get_running_loop()
    worst = 0.0
    while not stop.is_set():
        asked = loop.time() + period
        await asyncio.sleep(period)
        worst = max(worst, loop.time() - asked)
    return worst


@pytest.mark.parametrize("transport", TRANSPORTS)
def test_event_loop_goes_on_while_calls_wait(engine, transport):
    client = make_client(zorvo.aio, engine, transport)

    async def main():
        assert await call(client, "infer", [1], "uint8", b"\x00") == [0]
        stop = asyncio.Event()
        lag = asyncio.create_task(worst_lag(stop))
        with paused(engine):
            calls = [asyncio.create_task(call(client, "infer", [1], "uint8", bytes([i]))) for i in range(32)]
            await asyncio.sleep(0.5)
            assert not any(c.done() for c in calls), [c.exception() for c in calls if c.done()][:3]
        assert [r[0] for r in await asyncio.gather(*calls)] == list(range(32))
        stop.set()
        # A loop that waited for the engine would be late by the whole pause.
        assert await lag < 0.1

    asyncio.run(main())


@pytest.mark.parametrize("transport", TRANSPORTS)
def test_a_burst_of_answers_reaches_its_tasks_at_most_16_a_turn(engine, transport, run):
    """So that a burst never holds the loop's timers back for all of it at once."""
    client = make_client(zorvo.aio, engine, transport)

    async def main():
        ended, per_turn = [], []
        with paused(engine):
            tasks = [asyncio.create_task(call(client, "infer", [1], "uint8", bytes([i]))) for i in range(64)]
            for task in tasks:
                task.add_done_callback(ended.append)
            await asyncio.sleep(0.1)
        time.sleep(0.3)  # the loop held up while every answer arrives
        loop = asyncio.get_running_loop()

        def tick(seen=0):
            per_turn.append(len(ended) - seen)
            if len(ended) < 64:
                loop.call_soon(tick, len(ended))

        tick()
        assert [r[0] for r in await asyncio.gather(*tasks)] == list(range(64))
        assert sum(per_turn) == 64 and max(per_turn) <= 16, per_turn

    run(main())


@pytest.mark.parametrize("transport", TRANSPORTS)
def test_successive_event_loops_and_forked_child(engine, transport):
    client = make_client(zorvo.aio, engine, transport)
    for value in (1, 2):
        assert asyncio.run(call(client, "infer", [1], "uint8", bytes([value]))) == [value]

    async def leave_calls_in_flight():
        for i in range(4):
            asyncio.create_task(call(client, "infer", [1], "uint8", bytes([i])))
        await asyncio.sleep(0.05)

    with paused(engine):  # asyncio.run cancels the calls as it ends, while they still wait
        asyncio.run(leave_calls_in_flight())
    assert asyncio.run(call(client, "infer", [1], "uint8", b"\x09")) == [9]
    pid = os.fork()
    if pid == 0:  # the child leaves only through _exit, whatever happens
        code = 1
        try:
            code = 0 if asyncio.run(call(client, "infer", [2], "uint8", b"\x03\x04")) == [3, 4] else 1
        finally:
            os._exit(code)
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0
    assert asyncio.run(call(client, "infer", [1], "uint8", b"\x05")) == [5]


@pytest.mark.parametrize("transport", TRANSPORTS)
def test_ten_thousand_calls_with_cancellations_keep_resources_flat(slow_engine, transport):
    client = make_client(zorvo.aio, slow_engine, transport)
    sent = np.arange(256, dtype=np.float32).tobytes()

    async def run(count):
        async def one(i):
            if i % 10 == 0:  # mostly cancelled (a late event loop may see the answer first)
                with contextlib.suppress(asyncio.TimeoutError):
                    await asyncio.wait_for(call(client, "infer", [4], "uint8", b"\x01\x02\x03\x04"), 0.0005)
            else:
                assert np.asarray(await call(client, "infer_tensor", [256], "float32", sent))[i % 256] == i % 256

        for start in range(0, count, 32):
            await asyncio.gather(*(one(i) for i in range(start, start + 32)))
        await asyncio.sleep(0.05)  # the cancelled calls' answers come in

    asyncio.run(run(1000))
    gc.collect()
    before = (open_descriptors(), live_threads(), resident_bytes())
    started = time.monotonic()
    asyncio.run(run(10000))
    gc.collect()
    # Idle connections may grow to the most calls ever in flight at once (cancelled calls finish in
    # the background while the next ones start); a leak would add one per call.
    assert open_descriptors() - before[0] <= 8
    assert resident_bytes() - before[2] < 4 << 20, time.monotonic() - started
    # The worker pool may have grown for the busiest moment of the longer run (bounded by its size);
    # its idle threads end after 5 s, and a leaked one never would.
    deadline = time.monotonic() + 10
    while live_threads() > before[1] and time.monotonic() < deadline:
        time.sleep(0.1)
    assert live_threads() <= before[1]


def test_shared_memory_calls_go_on_past_a_dead_clients_consumer_lock(engine):
    """A client that died holding the response queue's consumer lock holds up nobody for long: the
    driver polling for all calls of a client notices the holder is gone and takes the lock."""
    client = make_client(zorvo.aio, engine, "shm")

    async def main():
        assert await call(client, "infer", [1], "uint8", b"\x01") == [1]
        objects = [path for path in glob.glob("/dev/shm/zorvo-peers2-*")
                   if engine.shm_name.encode() in open(path, "rb").read()[-4096:]]
        assert len(objects) == 1
        with open(objects[0], "r+b") as peers:  # the lock word of number 999, which nobody holds
            peers.seek(16)
            peers.write(struct.pack("<Q", (1000 << 48) | 1))
        started = time.monotonic()
        assert [r[0] for r in await asyncio.gather(*(call(client, "infer", [1], "uint8", bytes([i]))
                                                      for i in range(8)))] == list(range(8))
        assert time.monotonic() - started < 2

    asyncio.run(main())
