"""Module initialisation, the exported names, docstrings and text signatures,
and the internal-error exception type."""

import inspect
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import tolvane
from numpy_features import needs_33_dimensions
from tolvane import _tolvane

DOC_A = "\n".join([
    "cast_array(arr, *, target_dtype, rounding_mode, out_of_range_mode=None, "
    "scalar_map_entries=None)",
    "--",
    "",
    "Cast a numpy array to a new dtype, allocating a new output array.",
    "",
    "# Arguments",
    "",
    "* `arr` - Input numpy array",
    '* `target_dtype` - Target dtype string (e.g. "uint8", "float32")',
    '* `rounding_mode` - Rounding mode string (e.g. "nearest-even")',
    '* `out_of_range_mode` - Optional out-of-range handling ("clamp" or "wrap")',
    "* `scalar_map_entries` - Optional list of [source, target] pairs",
    "",
    "# Returns",
    "",
    "A new numpy array with the target dtype.",
    "",
    "# Errors",
    "",
    "Returns `PyValueError` for invalid rounding/out-of-range modes or",
    "conversion errors. Returns `PyTypeError` for unsupported dtypes.",
])

DOC_B = "\n".join([
    "cast_array_into(arr, out, *, rounding_mode, out_of_range_mode=None, "
    "scalar_map_entries=None)",
    "--",
    "",
    "Cast a numpy array into a pre-allocated output array.",
    "",
    "# Arguments",
    "",
    "* `arr` - Input numpy array",
    "* `out` - Pre-allocated output numpy array (must match input shape)",
    '* `rounding_mode` - Rounding mode string (e.g. "nearest-even")',
    '* `out_of_range_mode` - Optional out-of-range handling ("clamp" or "wrap")',
    "* `scalar_map_entries` - Optional list of [source, target] pairs",
    "",
    "# Returns",
    "",
    "None on success.",
    "",
    "# Errors",
    "",
    "Returns `PyValueError` for shape mismatch, invalid modes, or conversion",
    "errors. Returns `PyTypeError` for unsupported dtypes.",
])


def run_python(code: str) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=120)


def raise_internal_error():
    """Makes the module fail one of its limits: a non-empty array of 33 dimensions."""
    arr = np.zeros((1,) * 33, dtype=np.int16)
    tolvane.cast_array(arr, target_dtype="int32", rounding_mode="nearest-even")


def test_transcribed_docstrings_have_their_lengths():
    assert (len(DOC_A), len(DOC_B)) == (671, 629)


def test_module_all_and_doc():
    assert _tolvane.__all__ == ["cast_array", "cast_array_into"]
    assert _tolvane.__doc__ == ""
    # Built as "_tolvane"; CPython prefixes the package when it loads the
    # extension as a submodule of tolvane.
    assert _tolvane.__name__ in ("_tolvane", "tolvane._tolvane")


def test_package_exports_the_module_functions():
    assert tolvane.cast_array is _tolvane.cast_array
    assert tolvane.cast_array_into is _tolvane.cast_array_into


@pytest.mark.parametrize("name, full", [("cast_array", DOC_A), ("cast_array_into", DOC_B)])
def test_text_signature_and_doc(name, full):
    function = getattr(_tolvane, name)
    header, _, body = full.partition("\n--\n\n")
    assert function.__text_signature__ == header[len(name):]
    assert function.__doc__ == body
    assert not function.__doc__.endswith("\n")
    assert str(inspect.signature(function)) == header[len(name):]


def test_doc_edges():
    assert _tolvane.cast_array.__doc__.startswith(
        "Cast a numpy array to a new dtype, allocating a new output array.")
    assert _tolvane.cast_array_into.__doc__.endswith(
        "errors. Returns `PyTypeError` for unsupported dtypes.")


@pytest.mark.parametrize("name", ["cast_array", "cast_array_into"])
def test_function_identity(name):
    function = getattr(_tolvane, name)
    assert function.__name__ == name
    assert function.__qualname__ == name
    assert function.__module__ == _tolvane.__name__
    assert function.__self__ is _tolvane
    assert type(function).__name__ == "builtin_function_or_method"


def test_signature_parameters_kinds():
    params = inspect.signature(_tolvane.cast_array_into).parameters
    kinds = {name: p.kind for name, p in params.items()}
    assert kinds == {
        "arr": inspect.Parameter.POSITIONAL_OR_KEYWORD,
        "out": inspect.Parameter.POSITIONAL_OR_KEYWORD,
        "rounding_mode": inspect.Parameter.KEYWORD_ONLY,
        "out_of_range_mode": inspect.Parameter.KEYWORD_ONLY,
        "scalar_map_entries": inspect.Parameter.KEYWORD_ONLY,
    }
    assert params["out_of_range_mode"].default is None
    assert params["scalar_map_entries"].default is None


def test_second_initialisation_returns_the_same_module():
    result = run_python("""
        import importlib, sys
        import tolvane._tolvane as first
        del sys.modules["tolvane._tolvane"]
        second = importlib.import_module("tolvane._tolvane")
        assert second is first, (second, first)
        print("same")
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "same"


def test_import_in_a_sub_interpreter_fails_with_import_error():
    result = run_python("""
        import tolvane._tolvane
        try:
            import _xxsubinterpreters as interpreters
        except ImportError:
            try:
                import _interpreters as interpreters
            except ImportError:
                print("unavailable")
                raise SystemExit(0)
        interp = interpreters.create()
        code = (
            "try:\\n"
            "    import tolvane._tolvane\\n"
            "    outcome = 'imported'\\n"
            "except ImportError:\\n"
            "    outcome = 'ImportError'\\n"
            "assert outcome == 'ImportError', outcome\\n"
        )
        failure = None
        try:
            failure = interpreters.run_string(interp, code)
        except Exception as exc:
            failure = exc
        print("failed" if failure else "ImportError")
    """)
    if result.stdout.strip() == "unavailable":
        pytest.skip("no sub-interpreter support in this Python")
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip().splitlines()[-1] == "ImportError", result.stdout


def test_numpy_that_cannot_be_imported_ends_with_the_internal_error():
    result = run_python("""
        import sys
        sys.modules["numpy"] = None
        from tolvane import _tolvane
        for _ in range(2):
            try:
                _tolvane.cast_array([1], target_dtype="int8", rounding_mode="nearest-even")
            except Exception as exc:
                print("Exception", type(exc).__name__)
            except BaseException as exc:
                print(type(exc).__bases__ == (BaseException,), "numpy" in str(exc).lower())
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split("\n")[:2] == ["True True", "True True"]


@needs_33_dimensions
def test_internal_error_type_derives_directly_from_base_exception():
    with pytest.raises(BaseException) as info:
        raise_internal_error()
    error_type = type(info.value)
    assert not issubclass(error_type, Exception)
    assert error_type.__bases__ == (BaseException,)
    assert isinstance(info.value.args[0], str) and info.value.args[0]
    # Not part of the module's namespace.
    assert error_type not in [v for v in vars(_tolvane).values() if isinstance(v, type)]


@needs_33_dimensions
def test_internal_error_passes_an_except_exception_clause():
    caught_by = None
    try:
        try:
            raise_internal_error()
        except Exception:
            caught_by = "Exception"
    except BaseException:
        caught_by = "BaseException"
    assert caught_by == "BaseException"


@needs_33_dimensions
def test_internal_error_type_is_the_same_every_time():
    types = set()
    for _ in range(3):
        try:
            raise_internal_error()
        except BaseException as exc:  # noqa: B036 - the type under test is a BaseException
            types.add(type(exc))
    assert len(types) == 1


@needs_33_dimensions
def test_internal_error_report_on_standard_error(capfd):
    capfd.readouterr()
    try:
        raise_internal_error()
    except BaseException as exc:  # noqa: B036
        message = exc.args[0]
    captured = capfd.readouterr()
    assert captured.out == ""
    assert "python/src/lib" in captured.err
    assert message in captured.err


def test_successful_and_failing_calls_print_nothing(capfd):
    capfd.readouterr()
    a = np.arange(5, dtype=np.int16)
    tolvane.cast_array(a, target_dtype="int8", rounding_mode="nearest-even")
    with pytest.raises(ValueError):
        tolvane.cast_array(a * 100, target_dtype="int8", rounding_mode="nearest-even")
    with pytest.raises(TypeError):
        tolvane.cast_array(a, target_dtype="int8", rounding_mode="nearest-even",
                           scalar_map_entries=[("x", 1)])
    assert capfd.readouterr() == ("", "")


def test_reentrant_call_from_scalar_map_code():
    """A call made from inside another call's scalar-map parsing, on the same
    input, succeeds: shared borrows of one array coexist."""
    arr = np.array([1, 2, 3], dtype=np.int16)
    inner_results = []

    class Key:
        def __index__(self):
            inner_results.append(tolvane.cast_array(arr, target_dtype="int32",
                                                    rounding_mode="nearest-even"))
            return 2

    result = tolvane.cast_array(arr, target_dtype="int8", rounding_mode="nearest-even",
                                scalar_map_entries=[(Key(), 9)])
    assert result.tolist() == [1, 9, 3]
    assert inner_results[0].tolist() == [1, 2, 3]
    again = tolvane.cast_array(arr, target_dtype="int8", rounding_mode="nearest-even")
    assert again.tolist() == [1, 2, 3]


def test_the_shared_library_exports_only_its_init_function():
    # Anything more could interpose on, or be interposed by, another
    # extension loaded into the same process with RTLD_GLOBAL.
    nm = subprocess.run(["nm", "-D", "--defined-only", _tolvane.__file__],
                        capture_output=True, text=True, check=True)
    assert [line.split()[-1] for line in nm.stdout.splitlines()] == ["PyInit__tolvane"]
