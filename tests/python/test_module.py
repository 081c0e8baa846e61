"""The module object, its registered classes, signature texts and exception conventions."""

import importlib
import inspect
import subprocess
import sys

import zorvo_sdk


def test_reimport_yields_same_module():
    assert importlib.import_module("zorvo_sdk") is zorvo_sdk
    import zorvo_sdk as again

    assert again is zorvo_sdk


def test_module_contents_in_order():
    assert zorvo_sdk.__name__ == "zorvo_sdk"
    assert zorvo_sdk.__doc__ in ("", None)
    public = [name for name in vars(zorvo_sdk) if not name.startswith("__")]
    expected = ["ZorvoClient", "ZorvoShmClient", "ZorvoHybridClient"]
    assert public == expected[: len(public)]
    assert "ZorvoClient" in public
    assert not hasattr(zorvo_sdk, "StreamIterator")


def test_signature_texts():
    client = zorvo_sdk.ZorvoClient
    assert client.__text_signature__ == (
        "(endpoint=None, *, protocol=None, host=None, port=None, socket_path=None, "
        "pipe_name=None, max_pool_size=..., api_token=None)"
    )
    assert client.infer.__text_signature__ == "($self, model_id, shape, dtype, data, additional_inputs=None)"
    assert client.infer_stream.__text_signature__ == "($self, model_id, shape, dtype, data, additional_inputs=None)"
    assert client.endpoint.__text_signature__ == "($self)"
    assert client.protocol.__text_signature__ == "($self)"
    assert str(inspect.signature(client.infer)) == "(self, /, model_id, shape, dtype, data, additional_inputs=None)"
    assert not client.__doc__ and not client.infer.__doc__


def test_signature_of_constructor_is_introspectable():
    parameters = inspect.signature(zorvo_sdk.ZorvoClient).parameters
    assert list(parameters) == [
        "endpoint", "protocol", "host", "port", "socket_path", "pipe_name", "max_pool_size", "api_token",
    ]
    assert parameters["protocol"].kind is inspect.Parameter.KEYWORD_ONLY


def test_type_objects_are_created_once():
    assert type(zorvo_sdk.ZorvoClient()) is zorvo_sdk.ZorvoClient
    assert importlib.import_module("zorvo_sdk").ZorvoClient is zorvo_sdk.ZorvoClient


def test_second_interpreter_is_refused():
    # Subinterpreters are reachable through the private test module only; skip where it is absent.
    code = (
        "import _testcapi, zorvo_sdk\n"
        "rc = _testcapi.run_in_subinterp('import zorvo_sdk')\n"
        "print('rc', rc)\n"
    )
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    if "No module named '_testcapi'" in result.stderr:
        import pytest

        pytest.skip("no _testcapi in this interpreter")
    assert "rc -1" in result.stdout, result.stdout + result.stderr
    assert "ImportError" in result.stderr


def test_fresh_import_after_removal_returns_the_same_module():
    saved = sys.modules.pop("zorvo_sdk")
    try:
        fresh = importlib.import_module("zorvo_sdk")
        assert fresh is saved
    finally:
        sys.modules["zorvo_sdk"] = saved
