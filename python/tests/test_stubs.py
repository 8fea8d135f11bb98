"""The generated type stub: it runs as Python and names exactly what the package exports."""
import inspect
import pathlib

import tulo

STUB = pathlib.Path(tulo.__file__).with_name("__init__.pyi")
STUB_ONLY = {"annotations", "ClassVar", "Mapping", "Sequence", "overload", "np", "npt", "Image", "Contour",
             "Colour", "RotatedRect"}


def public(names):
    return {name for name in names if not name.startswith("_")}


def declared(scope):
    """The names a stub's scope defines or only annotates."""
    return public(scope) | public(scope.get("__annotations__", {}))


def test_the_stub_runs_and_names_every_export_and_no_other():
    namespace = {}
    exec(compile(STUB.read_text(encoding="utf-8"), str(STUB), "exec"), namespace)  # noqa: S102
    exported = {name for name in public(dir(tulo)) if not inspect.ismodule(getattr(tulo, name))}  # not tulo.distributed
    assert declared(namespace) - STUB_ONLY == exported
    for name in exported:
        real = getattr(tulo, name)
        if isinstance(real, type) and not issubclass(real, Exception):
            assert declared(vars(namespace[name])) == public(vars(real)), name
