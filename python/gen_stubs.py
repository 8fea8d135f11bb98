"""Writes the type stub of the package tulo from the built module itself.

usage: gen_stubs.py OUTPUT    (with the built package on PYTHONPATH)

Every name the package exports gets a stub: its signatures are the ones pybind11 records from the
bindings, its docstrings the ones gen_docstrings.py made from the headers' doc blocks. The C++
types the signatures name become the stub's aliases (Image, Contour, Colour, RotatedRect).
"""
import inspect
import re
import sys

# The built package, not the sources beside this script, which lack the extension module.
sys.path = [path for path in sys.path if path != sys.path[0]]
import tulo  # noqa: E402

HEADER = '''# Generated from the built module by gen_stubs.py; do not edit.
from __future__ import annotations

from typing import ClassVar, Mapping, Sequence, overload

import numpy as np
import numpy.typing as npt

Image = npt.NDArray[np.generic]
"""An image as cv2 has it: shape (H, W) or (H, W, C), BGR order, a dtype OpenCV has a depth for."""
Contour = npt.NDArray[np.int32]
"""A contour: (N, 2) int32 points; cv2's (N, 1, 2) arrays are taken too."""
Colour = float | Sequence[float]
RotatedRect = tuple[tuple[float, float], tuple[float, float], float]
'''

# The names the casters give their types in signatures, and the stub's names for them; longest
# first, so that a type is replaced before a part of it.
TYPE_NAMES = [
    ("tuple[tuple[float, float], tuple[float, float], float]", "RotatedRect"),
    ("tuple[float, ...]", "Colour"),
    ("list[numpy.ndarray]", "list[Contour]"),
    ("tulo._tulo.", ""),
    ("List[", "list["),
    ("Tuple[", "tuple["),
]
NUMPY_ARRAY = re.compile(r"numpy\.ndarray\[numpy\.(\w+)\]")
# A property whose binding returns a plain object.
PROPERTY_TYPES = {"Opsira.images": "Mapping[str, Image]"}
SIGNATURE = re.compile(r"^(?:\d+\. )?(\w+)\((.*)\) -> (.+)$", re.M)


def python_type(cxx_type):
    for name, stub in TYPE_NAMES:
        cxx_type = cxx_type.replace(name, stub)
    return NUMPY_ARRAY.sub(r"npt.NDArray[np.\1]", cxx_type).replace("numpy.ndarray", "Image")


def split_parameters(text):
    """The parameters of a signature, split at the commas outside brackets."""
    depth, start, parts = 0, 0, []
    for index, char in enumerate(text):
        depth += {"[": 1, "(": 1, "<": 1, "]": -1, ")": -1, ">": -1}.get(char, 0)
        if char == "," and depth == 0:
            parts.append(text[start:index].strip())
            start = index + 1
    return parts + [text[start:].strip()] if text.strip() else parts


def parameter(text, method, position):
    name, _, rest = text.partition(": ")
    annotation, has_default, _ = rest.partition(" = ")
    if method and position == 0:
        return "self"
    stub_type = "object" if method == "__eq__" else python_type(annotation)
    return f"{name}: {stub_type}" + (" = ..." if has_default else "")


def overloads(function):
    """(parameters, return type, docstring) of each overload pybind11 lists in the docstring."""
    doc = function.__doc__ or ""
    found = list(SIGNATURE.finditer(doc))
    for index, match in enumerate(found):
        end = found[index + 1].start() if index + 1 < len(found) else len(doc)
        yield match.group(2), match.group(3), doc[match.end():end].strip()


def docstring(text, indent):
    if not text:
        return " ..."
    body = text.replace('"""', "'''").replace("\\", "\\\\")
    return f'\n{indent}    """{body}"""'


def function_stub(name, function, indent="", method=False):
    variants = list(overloads(function))
    lines = []
    for parameters, returned, doc in variants:
        if len(variants) > 1:
            lines.append(f"{indent}@overload")
        names = [parameter(p, name if method else None, i) for i, p in enumerate(split_parameters(parameters))]
        lines.append(f"{indent}def {name}({', '.join(names)}) -> {python_type(returned)}:{docstring(doc, indent)}")
    return lines


def enum_stub(name, enum, indent):
    lines = [f"{indent}class {name}:" + docstring(enum.__doc__, indent)]
    for member, value in enum.__members__.items():
        lines.append(f"{indent}    {member}: ClassVar[{enum.__qualname__}]  # {int(value)}")
    lines += [f"{indent}    def __init__(self, value: int) -> None: ...",
              f"{indent}    def __int__(self) -> int: ...",
              f"{indent}    @property", f"{indent}    def name(self) -> str: ...",
              f"{indent}    @property", f"{indent}    def value(self) -> int: ..."]
    return lines


def property_stub(owner, name, prop, indent):
    returned = PROPERTY_TYPES.get(f"{owner.__qualname__}.{name}")
    if returned is None:
        returned = python_type(SIGNATURE.search(f"f{prop.fget.__doc__}").group(3))
    return [f"{indent}{name}: {returned}"] if prop.fset else \
        [f"{indent}@property", f"{indent}def {name}(self) -> {returned}:{docstring(prop.__doc__, indent)}"]


def is_enum(cls):
    return hasattr(cls, "__members__")


def class_stub(name, cls, indent=""):
    if is_enum(cls):
        return enum_stub(name, cls, indent)
    if issubclass(cls, Exception):
        return [f"{indent}class {name}({cls.__bases__[0].__name__}):" + docstring(cls.__doc__, indent)]
    lines = [f"{indent}class {name}:" + docstring(cls.__doc__, indent)]
    for member, value in cls.__dict__.items():
        if inspect.isclass(value):
            lines += class_stub(member, value, indent + "    ")
        elif isinstance(value, property):
            lines += property_stub(cls, member, value, indent + "    ")
        elif callable(value) and (not member.startswith("_") or member in ("__init__", "__eq__")):
            lines += function_stub(member, value, indent + "    ", method=True)
    return lines


def module_stub(module):
    lines, aliases = [HEADER], []
    for name in sorted(n for n in dir(module) if not n.startswith("_") or n == "__version__"):
        value = getattr(module, name)
        if inspect.isclass(value) and value.__qualname__ != name:
            aliases.append(f"{name} = {value.__qualname__}")  # after the class it names
        elif inspect.isclass(value):
            lines += class_stub(name, value)
        elif callable(value):
            lines += function_stub(name, value)
        elif not inspect.ismodule(value):
            lines.append(f"{name}: {type(value).__name__}")
    return "\n".join(lines + aliases) + "\n"


if __name__ == "__main__":
    with open(sys.argv[1], "w", encoding="utf-8") as out:
        out.write(module_stub(tulo))
