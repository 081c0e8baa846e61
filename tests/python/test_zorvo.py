"""The zorvo module over all four transports: tensor results, list results equal to zorvo_sdk's,
streams of tensors, close and `with`, threads sharing one client, waits that let other threads and
signal handlers run, fork, and resources over many calls."""

import contextlib
import gc
import os
import signal
import subprocess
import threading
import time

import numpy as np
import pytest

import zorvo
import zorvo_sdk
from engine_util import require_engine_binary, running_engine
from hostile_probes import live_threads, open_descriptors, resident_bytes

TRANSPORTS = ["unix", "tcp", "shm", "hybrid"]
DTYPES = {
    "float32": np.float32,
    "float64": np.float64,
    "float16": np.float16,
    "int32": np.int32,
    "int64": np.int64,
    "uint8": np.uint8,
    "string": np.uint8,
}


@pytest.fixture(scope="module")
def engine():
    require_engine_binary()
    with running_engine(tcp=True, unix=True, shm=True, hybrid=True, pool_size="16M") as running:
        yield running


def make_client(module, engine, transport):
    if transport == "unix":
        return module.ZorvoClient("unix://" + engine.unix_path)
    if transport == "tcp":
        return module.ZorvoClient("tcp://" + engine.tcp_address)
    if transport == "shm":
        return module.ZorvoShmClient(engine.shm_name)
    return module.ZorvoHybridClient(engine.shm_name, engine.hybrid_path)


def call(client, method, shape, dtype, data, model_id=0):
    """`method` of either module's client, with the socket client's model id where it takes one."""
    args = (model_id,) if isinstance(client, (zorvo.ZorvoClient, zorvo_sdk.ZorvoClient)) else ()
    return getattr(client, method)(*args, shape, dtype, data)


@pytest.fixture(params=TRANSPORTS)
def client(request, engine):
    with make_client(zorvo, engine, request.param) as opened:
        yield opened


# ---------------------------------------------------------------------------------------------
# Tensors


@pytest.mark.parametrize("shape", [(), (7,), (2, 3), (2, 3, 4), (0, 5)])
def test_tensors_of_every_type_and_shape_are_zero_copy_views(client, shape):
    for dtype, np_type in DTYPES.items():
        sent = (np.arange(int(np.prod(shape)), dtype=np.int64) * 3 - 5).astype(np_type).reshape(shape)
        tensor = call(client, "infer_tensor", list(shape), dtype, sent.tobytes())
        assert (tensor.shape, tensor.dtype, tensor.nbytes) == (shape, dtype, sent.nbytes)
        view = np.asarray(tensor)
        assert view.dtype == np_type and view.shape == shape
        np.testing.assert_array_equal(view, sent)
        assert bytes(tensor) == sent.tobytes() and memoryview(tensor).format == view.dtype.char
        if view.size:
            view.flat[0] = 42  # the array is the tensor's own buffer
            assert memoryview(tensor).cast("B")[: view.itemsize] == np.array([42], np_type).tobytes()


def test_shape_that_disagrees_with_the_bytes_gives_flat_bytes(client):
    tensor = call(client, "infer_tensor", [3], "float32", bytes(range(8)))  # 3 floats need 12 bytes
    assert (tensor.shape, tensor.dtype, memoryview(tensor).format) == ((8,), "uint8", "B")
    assert bytes(tensor) == bytes(range(8))


def test_tensor_is_not_constructible():
    with pytest.raises(TypeError):
        zorvo.Tensor()


# ---------------------------------------------------------------------------------------------
# Lists and errors as zorvo_sdk has them


@pytest.mark.parametrize("transport", TRANSPORTS)
def test_lists_and_errors_equal_zorvo_sdk(engine, transport):
    new, old = make_client(zorvo, engine, transport), make_client(zorvo_sdk, engine, transport)
    data = bytes(range(256)) * 3
    assert call(new, "infer", [768], "uint8", data) == call(old, "infer", [768], "uint8", data)
    failing = [([1], "complex", b"\x00", 0), ([1], "uint8", [1, "x"], 0), ([1], "uint8", [256], 0)]
    failing += [([1], "uint8", b"\x00", 2)] if isinstance(new, zorvo.ZorvoClient) else [([1] * 9, "uint8", b"", 0)]
    for shape, dtype, payload, model in failing:
        for method in ("infer", "infer_tensor"):
            with pytest.raises(Exception) as raised_new:
                call(new, method, shape, dtype, payload, model)
            with pytest.raises(Exception) as raised_old:
                call(old, "infer", shape, dtype, payload, model)
            assert type(raised_new.value) is type(raised_old.value)
            assert str(raised_new.value) == str(raised_old.value)


@pytest.mark.parametrize("transport", ["unix", "tcp"])
def test_streams_of_tensors_and_lists(engine, transport):
    client = make_client(zorvo, engine, transport)
    sent = np.array([[1.5, -2.0], [3.25, 0.0]], np.float32)
    tensors = list(client.infer_stream_tensor(1, [2, 2], "float32", sent.tobytes()))
    assert len(tensors) == 8 and all((np.asarray(t) == sent).all() and t.shape == (2, 2) for t in tensors)
    old = make_client(zorvo_sdk, engine, transport)
    assert list(client.infer_stream(3, [4], "uint8", b"abcd")) == list(old.infer_stream(3, [4], "uint8", b"abcd"))
    stream = client.infer_stream_tensor(2, [1], "uint8", b"\x09")  # 4 items, an error, 4 items
    items = [bytes(next(stream)) for _ in range(4)]
    with pytest.raises(RuntimeError, match="scripted stream failure"):
        next(stream)
    assert items + [bytes(t) for t in stream] == [b"\x09"] * 8


# ---------------------------------------------------------------------------------------------
# close and with


def test_close_and_with(engine, client):
    description = repr(client)
    assert (engine.shm_name if isinstance(client, (zorvo.ZorvoShmClient, zorvo.ZorvoHybridClient))
            else "://") in description
    with client as entered:
        assert entered is client
    assert repr(client) == description[:-1] + " (closed)>"
    client.close()  # a second close does nothing
    for method in ("infer", "infer_tensor"):
        with pytest.raises(ValueError, match="closed client"):
            call(client, method, [1], "uint8", b"\x01")


# ---------------------------------------------------------------------------------------------
# Threads


def run_threads(count, work):
    failures = []

    def body(index):
        try:
            work(index)
        except BaseException as error:  # noqa: B902 - reported below
            failures.append(error)

    threads = [threading.Thread(target=body, args=(i,)) for i in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(60)
    assert not any(thread.is_alive() for thread in threads) and not failures, failures[:1]


def test_threads_sharing_one_client_each_get_their_own_results(client):
    done = [0] * 8

    def work(index):
        for i in range(300):
            sent = np.array([index, i, -i], np.int64)
            method = "infer_tensor" if i % 2 else "infer"
            result = call(client, method, [3], "int64", sent.tobytes())
            got = np.asarray(result) if i % 2 else np.frombuffer(bytes(result), np.int64)
            assert (got == sent).all()
            done[index] += 1

    run_threads(len(done), work)
    assert done == [300] * 8


def all_threads_stopped(pid):
    states = []
    for task in os.listdir(f"/proc/{pid}/task"):
        with contextlib.suppress(OSError), open(f"/proc/{pid}/task/{task}/stat") as stat:
            states.append(stat.read().rpartition(")")[2].split()[0])
    return bool(states) and all(state in ("T", "t") for state in states)


@contextlib.contextmanager
def paused(engine):
    """The engine stopped (SIGSTOP) for the block: calls wait until it resumes. A watchdog process
    resumes it after a few seconds in any case, so a call that wrongly keeps the interpreter lock
    fails the test instead of hanging it."""
    os.kill(engine.process.pid, signal.SIGSTOP)
    watchdog = subprocess.Popen(["sh", "-c", f"sleep 5; kill -CONT {engine.process.pid}"])
    # A stop takes effect in each thread as it next enters the kernel: on a busy machine a thread
    # may still answer a request after kill() has returned.
    deadline = time.monotonic() + 2
    while not all_threads_stopped(engine.process.pid) and time.monotonic() < deadline:
        time.sleep(0.001)
    try:
        yield
    finally:
        os.kill(engine.process.pid, signal.SIGCONT)
        watchdog.kill()
        watchdog.wait()


def test_a_waiting_call_lets_other_threads_run(engine, client):
    call(client, "infer", [1], "uint8", b"\x00")  # connections and threads set up before the pause
    results = []

    def wait():
        try:
            results.append(bytes(call(client, "infer_tensor", [2], "uint8", b"\x05\x06")))
        except Exception as error:  # noqa: B902 - reported below
            results.append(error)

    with paused(engine):
        waiter = threading.Thread(target=wait)
        waiter.start()
        started = time.monotonic()
        while time.monotonic() < started + 0.3:  # Python runs beside the waiting call ...
            pass
        elapsed = time.monotonic() - started
        assert elapsed < 3 and waiter.is_alive(), (elapsed, results)  # ... not after the watchdog resumed it
    waiter.join(10)
    assert results == [b"\x05\x06"]


@pytest.mark.parametrize("transport", ["unix", "tcp", "shm"])
def test_ctrl_c_interrupts_a_long_wait(engine, transport):
    client = make_client(zorvo, engine, transport)
    timer = threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGINT))
    try:
        with paused(engine), pytest.raises(KeyboardInterrupt):
            timer.start()
            started = time.monotonic()
            call(client, "infer_tensor", [1], "uint8", b"\x01")
        assert time.monotonic() - started < 1.0
    finally:
        timer.cancel()
        timer.join()


@pytest.mark.parametrize("transport", TRANSPORTS)
def test_forked_child_uses_an_inherited_client_while_a_parent_thread_is_in_a_call(engine, transport):
    client = make_client(zorvo, engine, transport)
    assert call(client, "infer", [1], "uint8", b"\x01") == [1]
    with paused(engine):
        waiter = threading.Thread(target=call, args=(client, "infer", [1], "uint8", b"\x02"))
        waiter.start()
        time.sleep(0.05)  # the thread now waits inside its call, holding whatever a call holds
        pid = os.fork()
        if pid == 0:  # the child leaves only through _exit, whatever happens
            code = 1
            try:
                code = 0 if bytes(call(client, "infer_tensor", [2], "uint8", b"\x03\x04")) == b"\x03\x04" else 1
            finally:
                os._exit(code)
    waiter.join(10)
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0


# ---------------------------------------------------------------------------------------------
# Resources


@pytest.mark.parametrize("transport", TRANSPORTS)
def test_ten_thousand_calls_keep_descriptors_threads_and_memory_flat(engine, transport):
    client = make_client(zorvo, engine, transport)
    sent = np.arange(1024, dtype=np.float32).tobytes()

    def run(count):
        for i in range(count):
            if i % 2:
                assert call(client, "infer", [4], "uint8", b"\x01\x02\x03\x04")[3] == 4
            else:
                assert np.asarray(call(client, "infer_tensor", [1024], "float32", sent))[i % 1024] == i % 1024

    run(1000)
    gc.collect()
    before = (open_descriptors(), live_threads(), resident_bytes())
    run(10000)
    gc.collect()
    after = (open_descriptors(), live_threads(), resident_bytes())
    assert after[:2] == before[:2]
    assert after[2] - before[2] < 4 << 20
