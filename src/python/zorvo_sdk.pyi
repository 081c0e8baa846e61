"""Type information for the zorvo_sdk extension module."""

from typing import Iterator, List, Optional, Sequence, Tuple, Union


_Bytes = Union[bytes, bytearray, memoryview, Sequence[int]]
_AdditionalInput = Tuple[str, Sequence[int], str, _Bytes]

class StreamIterator(Iterator[List[int]]):
    """Results of one streamed inference; not constructible from Python."""
    def __iter__(self) -> "StreamIterator": ...
    def __next__(self) -> List[int]: ...

class ZorvoClient:
    def __init__(
        self,
        endpoint: Optional[str] = None,
        *,
        protocol: Optional[str] = None,
        host: Optional[str] = None,
        port: Optional[int] = None,
        socket_path: Optional[str] = None,
        pipe_name: Optional[str] = None,
        max_pool_size: int = 8,
        api_token: Optional[str] = None,
    ) -> None: ...
    def infer(
        self,
        model_id: int,
        shape: Sequence[int],
        dtype: str,
        data: _Bytes,
        additional_inputs: Optional[Sequence[_AdditionalInput]] = None,
    ) -> List[int]: ...
    def infer_stream(
        self,
        model_id: int,
        shape: Sequence[int],
        dtype: str,
        data: _Bytes,
        additional_inputs: Optional[Sequence[_AdditionalInput]] = None,
    ) -> StreamIterator: ...
    def endpoint(self) -> str: ...
    def protocol(self) -> str: ...

class ZorvoShmClient:
    def __init__(self, shm_name: str) -> None: ...
    def infer(self, shape: Sequence[int], dtype: str, data: _Bytes) -> List[int]: ...

class ZorvoHybridClient:
    def __init__(self, shm_name: str, socket_path: str) -> None: ...
    def infer(self, shape: Sequence[int], dtype: str, data: _Bytes) -> List[int]: ...
