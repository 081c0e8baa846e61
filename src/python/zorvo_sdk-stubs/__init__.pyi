"""Client library of the Zorvo inference engine.

Three clients send one input tensor to the engine and return the engine's result tensor as raw
bytes, one ``int`` (0..255) per byte, in a ``list``; the result's shape and element type are not
returned. ``ZorvoClient`` talks over TCP or a Unix socket, ``ZorvoShmClient`` through the engine's
shared-memory region, ``ZorvoHybridClient`` with the tensor in shared memory and the control
messages on a Unix socket. The engine is a separate process that the library never starts.

A tensor is given as three arguments:

- ``shape``: a sequence of integers (signed 64-bit);
- ``dtype``: the element type name, any letter case: ``float32`` (``fp32``), ``float64``
  (``fp64``), ``float16`` (``fp16``), ``int32`` (``i32``), ``int64`` (``i64``), ``uint8``
  (``u8``), ``string`` (``utf8``); another name raises ``ValueError``;
- ``data``: the raw tensor bytes. A one-dimensional buffer of unsigned bytes (``bytes``,
  ``bytearray``, ``memoryview``, ``array('B')``, a NumPy ``uint8`` array) is copied as it is; any
  other sequence is read item by item, each item an integer from 0 to 255 giving one byte, so a
  NumPy ``int32`` array gives one byte per element, not four (pass ``array.tobytes()``). A ``str``
  is refused with ``TypeError``.

The shape is not checked against the number of data bytes.
"""

from collections.abc import Iterator, Sequence
from typing import Union, final, type_check_only

from typing_extensions import Buffer, TypeAlias

_Data: TypeAlias = Union[Buffer, Sequence[int]]
# (name, shape, dtype, data) of one named additional input; the tuple must have exactly four items.
_AdditionalInput: TypeAlias = tuple[str, Sequence[int], str, _Data]

@final
@type_check_only
class StreamIterator(Iterator[list[int]]):
    """The results of one ``ZorvoClient.infer_stream`` call, one ``list[int]`` per item.

    Not a module attribute and not constructible: the type exists once ``infer_stream`` has
    returned one. It owns the connection until the engine ends the stream; each ``next()`` waits,
    with the interpreter lock held, until the engine sends the next item (there is no time limit).
    """

    def __iter__(self) -> "StreamIterator":
        """Returns the iterator itself."""
    def __next__(self) -> list[int]:
        """Returns the next item's bytes.

        Raises ``StopIteration`` after the engine's end frame; ``RuntimeError`` with the engine's
        text for an error item (the stream may go on after it), for an item that cannot be
        decoded, or with the system error's text when reading from the connection fails; and
        ``RuntimeError`` ("stream was started in the parent process; start a new stream after
        fork") in a forked child, which cannot continue its parent's stream.
        """

@final
class ZorvoClient:
    """Client of the engine's socket protocol over TCP or a Unix socket.

    Construction does no I/O: an unreachable engine shows at the first call. Connections are opened
    on demand and kept in a pool of up to ``max_pool_size`` idle ones; a call that fails on the
    transport is retried once on a fresh connection.

    Where the client connects, from its arguments:

    - ``endpoint``: ``"tcp://HOST:PORT"``, ``"unix://PATH"``, or a bare Unix socket path (a bare
      ``"host:port"`` text is a path unless ``protocol="tcp"``);
    - ``host`` and/or ``port`` without ``endpoint``: TCP to ``host`` (default ``127.0.0.1``) on
      ``port`` (default 9096);
    - ``socket_path``: a Unix socket path (a ``tcp://`` or ``unix://`` prefix is honoured);
    - nothing: the Unix socket ``/tmp/zorvo.sock``.

    ``protocol`` (any case, blanks trimmed) may be ``"tcp"``, or ``"socket"``, ``"unix"`` or
    ``"local"`` for a Unix socket; named pipes (``pipe_name``, ``protocol="pipe"``) exist only on
    Windows and are refused. Blank texts count as absent. ``api_token``, when given, is sent with
    every request. ``max_pool_size`` (default 8) bounds the idle connections kept, not the
    connections in use.

    Raises ``ValueError`` for a contradictory or unsupported combination (for example
    ``protocol="tcp"`` with ``socket_path``, an unknown protocol, a ``pipe_name``), ``TypeError``
    for an argument of the wrong type, ``OverflowError`` for a ``port`` outside 0..65535 or a
    negative ``max_pool_size``.
    """

    def __new__(
        cls,
        endpoint: str | None = None,
        *,
        protocol: str | None = None,
        host: str | None = None,
        port: int | None = None,
        socket_path: str | None = None,
        pipe_name: str | None = None,
        max_pool_size: int = ...,
        api_token: str | None = None,
    ) -> "ZorvoClient":
        """Creates the client; no I/O happens until the first call. See the class."""
    def infer(
        self,
        model_id: int,
        shape: Sequence[int],
        dtype: str,
        data: _Data,
        additional_inputs: Sequence[_AdditionalInput] | None = None,
    ) -> list[int]:
        """Runs model ``model_id`` (0..2**32-1) on one tensor and returns the result's bytes.

        ``additional_inputs`` are extra named tensors, each a tuple ``(name, shape, dtype, data)``.

        Raises ``ConnectionError`` when no connection can be opened, or when the transport fails
        twice (the failed call is retried once on a fresh connection); ``ValueError`` for an
        unknown element type; ``RuntimeError`` with the engine's text when the engine reports an
        error, or with the decoder's text when its answer cannot be decoded. There is no time
        limit: the call waits as long as the engine keeps the connection open.
        """
    def infer_stream(
        self,
        model_id: int,
        shape: Sequence[int],
        dtype: str,
        data: _Data,
        additional_inputs: Sequence[_AdditionalInput] | None = None,
    ) -> StreamIterator:
        """Sends one streamed request and returns an iterator over the result items.

        Arguments as for ``infer``. Nothing is retried. Raises ``ConnectionError`` when no
        connection can be opened, ``ValueError`` for an unknown element type, and the exception of
        the system error's kind (for example ``BrokenPipeError`` or ``ConnectionResetError``) when
        writing the request fails. Errors while reading items are raised by the iterator.
        """
    def endpoint(self) -> str:
        """The target as ``"tcp://HOST:PORT"`` or ``"unix://PATH"``; passed back as ``endpoint``
        to a new client, it gives the same target."""
    def protocol(self) -> str:
        """``"tcp"`` for a TCP target, ``"socket"`` for a Unix socket."""

@final
class ZorvoShmClient:
    """Client that passes tensors through the engine's POSIX shared-memory region.

    ``shm_name`` is the name of the region the engine created (for example ``"/zorvo-shm"``, as
    ``zorvo-engine --shm /zorvo-shm`` creates it); there is no default. The client attaches at
    construction and carves the region's tensor pool into slots of 256 KiB, 1 MiB, 4 MiB, 16 MiB
    and 64 MiB; a call's tensor (its data plus an 80-byte header) must fit into one free slot, so
    with the engine's default 256 MiB pool a call carries at most 64 MiB - 80 bytes (67108784) of
    data, and less with a pool too small for a 64 MiB slot.

    Any number of clients, in any number of processes and threads, may use one region at once;
    they coordinate so that every answer reaches its own caller. A client used in a forked child
    attaches afresh there, and one whose engine restarted (a new region under the same name)
    attaches to the new region after a call timed out.

    Raises ``ConnectionError`` ("Shared memory error: ...") when the region does not exist or is
    not a valid region, ``TypeError`` when ``shm_name`` is not a ``str``.
    """

    def __new__(cls, shm_name: str) -> "ZorvoShmClient":
        """Attaches to the region ``shm_name``. See the class."""
    def infer(self, shape: Sequence[int], dtype: str, data: _Data) -> list[int]:
        """Runs one inference through the region and returns the result's bytes.

        Waits for the answer by polling, holding the interpreter lock (other Python threads do not
        run meanwhile). One call at a time per client object.

        Raises ``RuntimeError`` ("SHM tensor pool exhausted ...") when the tensor does not fit a
        free slot, ``ValueError`` for an unknown element type, ``RuntimeError`` ("Queue is full")
        when the request queue is full, ``RuntimeError`` with the engine's text (or "Unknown
        error") when the engine reports an error, ``TimeoutError`` ("Request timed out") after
        about 6 s without an answer, ``RuntimeError`` ("Already borrowed") when the same object is
        already in a call, and whatever a signal handler raises while it waits. After the engine
        restarted, ``ConnectionError`` ("Shared memory error: ...") while the region's name does
        not exist.
        """

@final
class ZorvoHybridClient:
    """Client with the tensor in the engine's shared-memory region and a 52-byte request and 48-byte
    answer on the engine's hybrid Unix socket.

    ``shm_name`` is the region's name and ``socket_path`` the hybrid socket's path (for example
    ``"/zorvo-shm"`` and ``"/tmp/zorvo-hybrid.sock"``, as ``zorvo-engine --shm /zorvo-shm
    --hybrid /tmp/zorvo-hybrid.sock`` serves them); neither has a default. The region is attached
    at construction; the socket is not touched until the first call, which opens the connection
    kept for the life of the client. Slots and the largest tensor are as for ``ZorvoShmClient``:
    at most 64 MiB - 80 bytes (67108784) of data with the engine's default pool.

    Clients in several processes and threads may share one region, as for ``ZorvoShmClient``. A
    client used in a forked child attaches afresh and opens its own connection and I/O threads
    there; after a failed exchange the next call reconnects, and first attaches to the region's
    new object if the engine restarted.

    Raises ``ConnectionError`` ("Shared memory error: ...") when the region cannot be attached,
    ``RuntimeError`` when the client's I/O threads cannot be started, ``TypeError`` for an argument
    that is not a ``str``.
    """

    def __new__(cls, shm_name: str, socket_path: str) -> "ZorvoHybridClient":
        """Attaches to the region ``shm_name``; ``socket_path`` is used from the first call on.
        See the class."""
    def infer(self, shape: Sequence[int], dtype: str, data: _Data) -> list[int]:
        """Runs one inference and returns the result's bytes.

        Raises ``RuntimeError`` for every failure of the exchange, with its text: the socket cannot
        be connected (a missing engine is a ``RuntimeError`` here, not a ``ConnectionError``),
        writing or reading fails, the engine reports an error, or the answer cannot be decoded.
        Also ``RuntimeError`` ("SHM tensor pool exhausted ...") when the tensor does not fit a free
        slot, ``ValueError`` for an unknown element type, and ``RuntimeError`` ("Already
        borrowed") when the same object is already in a call. There is no time limit. After the
        engine restarted, ``ConnectionError`` ("Shared memory error: ...") while the region's name
        does not exist.
        """
