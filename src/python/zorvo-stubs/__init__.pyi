"""Clients of the Zorvo inference engine for concurrent programs and array libraries.

The same three clients as ``zorvo_sdk``, with the same constructor parameters and defaults, the
same ``infer`` (and ``infer_stream``) results and exceptions, so switching is one import line. In
addition:

- ``infer_tensor`` (and ``infer_stream_tensor``) return the result as a ``Tensor``: one buffer the
  tensor owns, filled by a single copy from the socket or the region, with the result's shape and
  element type, readable by ``numpy.asarray``, ``memoryview`` or ``torch.frombuffer`` without a
  copy.
- Every call releases the interpreter lock while it waits (connecting, sending, receiving,
  polling the region, the hybrid exchange), so one client object may be used by any number of
  threads at once, and their calls run concurrently: ``ZorvoClient`` with one pooled connection per
  call in flight, ``ZorvoHybridClient`` with several control connections, ``ZorvoShmClient`` with
  several requests in the region's queues (never "Already borrowed").
- ``close()`` releases a client's connections, mapping and threads deterministically, and the
  clients are context managers; a call on a closed client raises ``ValueError`` ("I/O operation
  on closed client"), as a closed file does.

Arguments are as for ``zorvo_sdk``: ``shape`` a sequence of integers, ``dtype`` an element type
name (``float32``/``fp32``, ``float64``/``fp64``, ``float16``/``fp16``, ``int32``/``i32``,
``int64``/``i64``, ``uint8``/``u8``, ``string``/``utf8``, any letter case), ``data`` the raw
bytes (a one-dimensional unsigned-byte buffer, copied as it is, or a sequence of ints 0..255).
A NumPy array is passed as ``array.tobytes()`` or as a ``uint8`` view (``array.view(numpy.uint8)``
of a contiguous array).

``zorvo.aio`` has the same clients for asyncio programs.
"""

from . import aio as aio

from collections.abc import Iterator, Sequence
from types import TracebackType
from typing import Literal, Union, final, type_check_only

from typing_extensions import Buffer, Self, TypeAlias

_Data: TypeAlias = Union[Buffer, Sequence[int]]
# (name, shape, dtype, data) of one named additional input; the tuple must have exactly four items.
_AdditionalInput: TypeAlias = tuple[str, Sequence[int], str, _Data]
_Dtype: TypeAlias = Literal["float32", "float64", "float16", "int32", "int64", "uint8", "string"]

@final
class Tensor:
    """An inference result in one buffer that the tensor owns.

    The buffer protocol gives a writable, C-contiguous view with the item format of the element
    type (``"f"`` float32, ``"d"`` float64, ``"e"`` float16, ``"i"`` int32, ``"q"`` int64, ``"B"``
    uint8 and string, native byte order) and the result's shape: ``numpy.asarray(t)`` is an array
    over the tensor's own bytes (a write through it shows in the tensor), ``bytes(t)`` copies them.

    Over a socket the shape and element type are the result packet's. Over shared memory they are
    the result block header's; its element code 0 stands for float32, float16, uint8 and string
    alike, so the tensor takes the request's element type when that is one of these four, and
    float32 otherwise. Where the shape, the element size and the byte count disagree (or the code
    is unknown), the tensor is one-dimensional ``uint8`` bytes, never a view that misreads them.

    Not constructible: tensors come from the clients.
    """

    @property
    def shape(self) -> tuple[int, ...]:
        """The result's shape (row-major); ``(nbytes,)`` for the one-dimensional byte form."""
    @property
    def dtype(self) -> _Dtype:
        """The canonical element type name."""
    @property
    def nbytes(self) -> int:
        """The number of bytes the tensor holds."""
    def __buffer__(self, flags: int, /) -> memoryview:
        """A memoryview of the tensor's bytes, with its format and shape."""

@final
@type_check_only
class StreamIterator(Iterator[list[int]]):
    """The items of one ``ZorvoClient.infer_stream`` call, one ``list[int]`` each.

    ``next()`` releases the interpreter lock while it waits for the engine's next item (no time
    limit); steps of one stream taken by several threads run one after another. Raises as
    ``zorvo_sdk``'s stream iterator does: ``StopIteration`` at the end, ``RuntimeError`` for an
    error item, an undecodable item, a failed read, and in a forked child.
    """

    def __iter__(self) -> Self:
        """Returns the iterator itself."""
    def __next__(self) -> list[int]:
        """Returns the next item's bytes."""

@final
@type_check_only
class TensorStreamIterator(Iterator[Tensor]):
    """The items of one ``ZorvoClient.infer_stream_tensor`` call, one ``Tensor`` each; otherwise as
    ``StreamIterator``. (At run time both are ``zorvo.StreamIterator``.)"""

    def __iter__(self) -> Self:
        """Returns the iterator itself."""
    def __next__(self) -> Tensor:
        """Returns the next item as a tensor."""

@final
class ZorvoClient:
    """Client of the engine's socket protocol over TCP or a Unix socket.

    The constructor is ``zorvo_sdk.ZorvoClient``'s: ``endpoint`` (``"tcp://HOST:PORT"``,
    ``"unix://PATH"`` or a bare socket path), or ``host``/``port`` (TCP, default 127.0.0.1:9096),
    or ``socket_path``; with nothing, the Unix socket ``/tmp/zorvo.sock``. ``max_pool_size``
    (default 8) bounds the idle connections kept; ``api_token`` is sent with every request.
    Construction does no I/O. Raises ``ValueError`` for a contradictory or unsupported
    configuration, ``TypeError`` and ``OverflowError`` for bad argument values.

    Threads may share one client: each call in flight takes a pooled connection (or opens one), so
    their calls overlap; a call that fails on the transport is retried once on a fresh connection.
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
        """Runs model ``model_id`` on one tensor and returns the result's bytes as ints, as
        ``zorvo_sdk.ZorvoClient.infer`` does, with the same exceptions: ``ConnectionError`` when no
        connection can be opened or the transport fails twice, ``ValueError`` for an unknown element
        type, ``RuntimeError`` with the engine's or the decoder's text. No time limit. Also
        ``ValueError`` on a closed client."""
    def infer_tensor(
        self,
        model_id: int,
        shape: Sequence[int],
        dtype: str,
        data: _Data,
        additional_inputs: Sequence[_AdditionalInput] | None = None,
    ) -> Tensor:
        """As ``infer``, but the result is a ``Tensor`` over the bytes as received."""
    def infer_stream(
        self,
        model_id: int,
        shape: Sequence[int],
        dtype: str,
        data: _Data,
        additional_inputs: Sequence[_AdditionalInput] | None = None,
    ) -> StreamIterator:
        """Sends one streamed request on a connection of its own and returns an iterator over the
        items; raises as ``zorvo_sdk.ZorvoClient.infer_stream`` does (``ConnectionError``,
        ``ValueError``, or the system error's own kind when writing fails), and ``ValueError`` on a
        closed client. A stream already open goes on after ``close()``."""
    def infer_stream_tensor(
        self,
        model_id: int,
        shape: Sequence[int],
        dtype: str,
        data: _Data,
        additional_inputs: Sequence[_AdditionalInput] | None = None,
    ) -> TensorStreamIterator:
        """As ``infer_stream``, but each item is a ``Tensor``."""
    def endpoint(self) -> str:
        """The target as ``"tcp://HOST:PORT"`` or ``"unix://PATH"``."""
    def protocol(self) -> str:
        """``"tcp"`` for a TCP target, ``"socket"`` for a Unix socket."""
    def close(self) -> None:
        """Closes the pooled connections once the calls running now have finished; later calls
        raise ``ValueError``. A second call does nothing."""
    def __enter__(self) -> Self:
        """Returns the client."""
    def __exit__(
        self, exc_type: type[BaseException] | None, exc_value: BaseException | None, traceback: TracebackType | None, /
    ) -> Literal[False]:
        """Closes the client."""

@final
class ZorvoShmClient:
    """Client that passes tensors through the engine's shared-memory region ``shm_name``.

    The constructor is ``zorvo_sdk.ZorvoShmClient``'s: it attaches at construction
    (``ConnectionError`` when it cannot); slot sizes, the largest tensor (64 MiB - 80 bytes with
    the engine's default pool), several clients and processes on one region, fork and engine
    restarts are as described there.
    """

    def __new__(cls, shm_name: str) -> "ZorvoShmClient":
        """Attaches to the region ``shm_name``."""
    def infer(self, shape: Sequence[int], dtype: str, data: _Data) -> list[int]:
        """Runs one inference through the region and returns the result's bytes as ints, with the
        exceptions of ``zorvo_sdk.ZorvoShmClient.infer`` (``TimeoutError`` after about 6 s without an
        answer, ``RuntimeError`` for a full pool or queue or the engine's error, ``ValueError`` for
        an unknown element type), never "Already borrowed". Polls for the answer with the
        interpreter lock released; signal handlers run every few milliseconds of a long wait."""
    def infer_tensor(self, shape: Sequence[int], dtype: str, data: _Data) -> Tensor:
        """As ``infer``, but the result is a ``Tensor``: copied once out of the region, with the
        result block's shape and element type (see ``Tensor``)."""
    def close(self) -> None:
        """Detaches from the region once the calls running now have finished; later calls raise
        ``ValueError``. A second call does nothing."""
    def __enter__(self) -> Self:
        """Returns the client."""
    def __exit__(
        self, exc_type: type[BaseException] | None, exc_value: BaseException | None, traceback: TracebackType | None, /
    ) -> Literal[False]:
        """Closes the client."""

@final
class ZorvoHybridClient:
    """Client with the tensor in the engine's shared-memory region ``shm_name`` and the control
    exchange on the hybrid Unix socket ``socket_path``.

    The constructor is ``zorvo_sdk.ZorvoHybridClient``'s: the region is attached at construction
    (``ConnectionError`` when it cannot), the socket first used by the first call.
    """

    def __new__(cls, shm_name: str, socket_path: str) -> "ZorvoHybridClient":
        """Attaches to the region ``shm_name``; ``socket_path`` is used from the first call on."""
    def infer(self, shape: Sequence[int], dtype: str, data: _Data) -> list[int]:
        """Runs one inference and returns the result's bytes as ints, with the exceptions of
        ``zorvo_sdk.ZorvoHybridClient.infer`` (``RuntimeError`` for every failure of the exchange),
        never "Already borrowed". The interpreter lock is released during the exchange, which has
        no time limit."""
    def infer_tensor(self, shape: Sequence[int], dtype: str, data: _Data) -> Tensor:
        """As ``infer``, but the result is a ``Tensor`` (see ``ZorvoShmClient.infer_tensor``)."""
    def close(self) -> None:
        """Stops the client's I/O threads, closes its connection and detaches from the region once
        the calls running now have finished; later calls raise ``ValueError``. A second call does
        nothing."""
    def __enter__(self) -> Self:
        """Returns the client."""
    def __exit__(
        self, exc_type: type[BaseException] | None, exc_value: BaseException | None, traceback: TracebackType | None, /
    ) -> Literal[False]:
        """Closes the client."""
