"""asyncio clients of the Zorvo inference engine.

The clients of ``zorvo``, with the same constructors, whose calls are coroutines: ``await
client.infer(...)`` gives what ``zorvo``'s ``infer`` returns for the same call, and raises what it
raises (types and texts). Many calls may be in flight on one client object: the socket client uses
one pooled connection per call in flight (idle ones kept up to ``max_pool_size``), the hybrid
client several control connections, the shared-memory client several requests in the region's
queues.

The event loop never waits for the engine: its thread converts the arguments, starts the call and
builds the result. Sockets in flight are watched by the loop; connecting runs on a worker thread,
one driver thread per client polls the region for all its calls, and hybrid exchanges run on the
client's own runtime, none of them touching a Python object. Each client's completions reach the
loop through one descriptor. Works with asyncio's default loop and with uvloop's. A client serves one event loop at a
time: it may be used by several loops one after another (two ``asyncio.run``), not at once.

Cancelling a call (``task.cancel()``, ``asyncio.timeout``, ``asyncio.wait_for``) is safe: its
answer never reaches another call; the call's socket exchange or shared-memory slot is finished in
the background (a connection goes back to the pool only once its answer has been read, a slot is
held until its answer arrives or its lease ends). An ``async for`` over a stream whose read was
cancelled raises ``RuntimeError`` on the next step, since its next item can no longer be told
apart.
"""

from collections.abc import AsyncIterator, Sequence
from types import TracebackType
from typing import Literal, final, type_check_only

from typing_extensions import Self

from . import Tensor, _AdditionalInput, _Data

@final
@type_check_only
class _Stream(AsyncIterator[list[int]]):
    """The items of one ``infer_stream`` call; the request is sent by the first step."""

    def __aiter__(self) -> Self: ...
    async def __anext__(self) -> list[int]: ...

@final
@type_check_only
class _TensorStream(AsyncIterator[Tensor]):
    """The items of one ``infer_stream_tensor`` call, each a ``Tensor``."""

    def __aiter__(self) -> Self: ...
    async def __anext__(self) -> Tensor: ...

@final
class ZorvoClient:
    """asyncio client of the engine's socket protocol; the constructor of ``zorvo.ZorvoClient``."""

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
        """Creates the client; no I/O happens until the first call."""
    async def infer(
        self,
        model_id: int,
        shape: Sequence[int],
        dtype: str,
        data: _Data,
        additional_inputs: Sequence[_AdditionalInput] | None = None,
    ) -> list[int]:
        """As ``zorvo.ZorvoClient.infer``."""
    async def infer_tensor(
        self,
        model_id: int,
        shape: Sequence[int],
        dtype: str,
        data: _Data,
        additional_inputs: Sequence[_AdditionalInput] | None = None,
    ) -> Tensor:
        """As ``zorvo.ZorvoClient.infer_tensor``."""
    def infer_stream(
        self,
        model_id: int,
        shape: Sequence[int],
        dtype: str,
        data: _Data,
        additional_inputs: Sequence[_AdditionalInput] | None = None,
    ) -> _Stream:
        """An asynchronous iterator over the items of a streamed inference (``async for``)."""
    def infer_stream_tensor(
        self,
        model_id: int,
        shape: Sequence[int],
        dtype: str,
        data: _Data,
        additional_inputs: Sequence[_AdditionalInput] | None = None,
    ) -> _TensorStream:
        """As ``infer_stream``, with each item a ``Tensor``."""
    async def close(self) -> None:
        """Releases the client's connections once the calls in flight have finished; later calls
        raise ``ValueError``. A second call does nothing."""
    async def __aenter__(self) -> Self:
        """Returns the client."""
    async def __aexit__(
        self, exc_type: type[BaseException] | None, exc_value: BaseException | None, traceback: TracebackType | None, /
    ) -> Literal[False]:
        """Closes the client."""

@final
class ZorvoShmClient:
    """asyncio client of the engine's shared-memory region; the constructor of ``zorvo.ZorvoShmClient``."""

    def __new__(cls, shm_name: str) -> "ZorvoShmClient":
        """Attaches to the region ``shm_name``."""
    async def infer(self, shape: Sequence[int], dtype: str, data: _Data) -> list[int]:
        """As ``zorvo.ZorvoShmClient.infer``."""
    async def infer_tensor(self, shape: Sequence[int], dtype: str, data: _Data) -> Tensor:
        """As ``zorvo.ZorvoShmClient.infer_tensor``."""
    async def close(self) -> None:
        """Detaches from the region once the calls in flight have finished."""
    async def __aenter__(self) -> Self:
        """Returns the client."""
    async def __aexit__(
        self, exc_type: type[BaseException] | None, exc_value: BaseException | None, traceback: TracebackType | None, /
    ) -> Literal[False]:
        """Closes the client."""

@final
class ZorvoHybridClient:
    """asyncio client of the hybrid transport; the constructor of ``zorvo.ZorvoHybridClient``."""

    def __new__(cls, shm_name: str, socket_path: str) -> "ZorvoHybridClient":
        """Attaches to the region ``shm_name``; ``socket_path`` is used from the first call on."""
    async def infer(self, shape: Sequence[int], dtype: str, data: _Data) -> list[int]:
        """As ``zorvo.ZorvoHybridClient.infer``."""
    async def infer_tensor(self, shape: Sequence[int], dtype: str, data: _Data) -> Tensor:
        """As ``zorvo.ZorvoHybridClient.infer_tensor``."""
    async def close(self) -> None:
        """Stops the client's threads and detaches once the calls in flight have finished."""
    async def __aenter__(self) -> Self:
        """Returns the client."""
    async def __aexit__(
        self, exc_type: type[BaseException] | None, exc_value: BaseException | None, traceback: TracebackType | None, /
    ) -> Literal[False]:
        """Closes the client."""
