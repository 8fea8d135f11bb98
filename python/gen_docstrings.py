"""Turns the doc blocks of the public headers into a C++ header of Python docstrings.

usage: gen_docstrings.py OUTPUT HEADER...

Every `/** ... */` block names the declaration that follows it. A free function `f` becomes
`doc::f`, a member `C::f` becomes `doc::C_f`, and the n-th overload of a name (n > 1) gets `_n`
appended, in header order; `operator==` is called `eq`. The enumerators of `C::E` are in the table
`doc::C_E_values` of {name, docstring} rows, which a null row ends. The text keeps the brief, and turns the
tags into Python terms: parameters, what is returned and which Python exception is raised.
"""
import re
import sys

DOC_BLOCK = re.compile(r"/\*\*(.*?)\*/", re.S)
CLASS_HEAD = re.compile(r"\b(?<!enum )(?:class|struct)\s+(?:TULO_API\s+)?(\w+)\s*(?::[^{]*)?\{")
ENUM_HEAD = re.compile(r"\benum\s+class\s+(\w+)[^{;]*\{")
TAG = re.compile(r"@(brief|param|return|throws)\b")

# C++ terms of the headers and what a Python caller meets instead. An image file that cannot be
# read or written (ImageReadError, ImageWriteError, both std::runtime_error) is an OSError.
PYTHON_TERMS = [
    ("std::invalid_argument", "ValueError"),
    ("std::out_of_range", "IndexError"),
    ("std::runtime_error", "OSError"),
    ("ImageReadError", "OSError"),
    ("ImageWriteError", "OSError"),
    ("std::logic_error", "RuntimeError"),
    ("cv::Exception", "tulo.OpenCVError"),
    ("cv::Mat&", "array"),
    ("cv::Mat", "array"),
    ("std::vector", "list"),
    ('\\"', '"'),  # quotes escaped for the C++ string they stand in
]
TAG_HEADINGS = {"param": "Parameters", "return": "Returns", "throws": "Raises"}


def python_text(text):
    for cxx, python in PYTHON_TERMS:
        text = text.replace(cxx, python)
    return text


def clean_block(raw):
    """The words of a doc block, with its blank lines kept as paragraph breaks."""
    lines = [line.strip().lstrip("*").strip() for line in raw.splitlines()]
    return re.sub(r" *\n\n+ *", "\n\n", " ".join(line or "\n\n" for line in lines)).strip()


def docstring(raw):
    """The docstring of one doc block: the brief, then one section per kind of tag."""
    pieces = TAG.split(clean_block(raw))
    paragraphs = [p.strip() for p in pieces[0].split("\n\n") if p.strip()]
    sections = {}
    for tag, body in zip(pieces[1::2], pieces[2::2]):
        body = body.strip()
        if tag != "brief":
            body = " ".join(body.split())
        if tag == "brief":
            paragraphs += [p.strip() for p in body.split("\n\n") if p.strip()]
        elif tag == "param":
            name, _, rest = body.partition(" ")
            while name.endswith(","):  # "@param width, height ..." documents two parameters
                more, _, rest = rest.partition(" ")
                name += " " + more
            sections.setdefault(tag, []).append(f"    {name}: {rest}")
        else:
            sections.setdefault(tag, []).append(f"    {body}")
    for tag, heading in TAG_HEADINGS.items():
        if tag in sections:
            paragraphs.append(heading + ":\n" + "\n".join(sections[tag]))
    return "\n\n".join(python_text(p) for p in paragraphs)


def declared_name(declaration):
    """The name a declaration introduces: a function's, a variable's, an enumeration's or a class's."""
    head = re.split(r"[;{]", declaration, maxsplit=1)[0]
    if "operator==" in head:
        return "eq"
    match = re.match(r"\s*(?:class|struct|enum class)\s+(?:TULO_API\s+)?(\w+)", head) or \
        re.match(r"\s*using\s+(\w+)\s*=", head)
    if match:
        return match.group(1)
    head = head.split("(")[0] if "(" in head else head.split("=")[0]  # before parameters or a value
    return re.findall(r"\w+", head)[-1]


def spans(text, head):
    """(start, end, name) of every body that `head` opens."""
    found = []
    for match in head.finditer(text):
        depth, pos = 1, match.end()
        while depth:
            depth += {"{": 1, "}": -1}.get(text[pos], 0)
            pos += 1
        found.append((match.end(), pos, match.group(1)))
    return found


def enclosing(spans_found, position):
    return next((name for start, end, name in spans_found if start <= position < end), None)


def entries(text):
    """(key, docstring) of every doc block outside an enumeration, overloads numbered in order."""
    classes, enums = spans(text, CLASS_HEAD), spans(text, ENUM_HEAD)
    seen = {}
    for block in DOC_BLOCK.finditer(text):
        if enclosing(enums, block.start()):
            continue
        declaration = text[block.end():].lstrip()
        scope = enclosing(classes, block.start())
        key = declared_name(declaration)
        if scope and key != scope:
            key = f"{scope}_{key}"
        seen[key] = seen.get(key, 0) + 1
        yield (key if seen[key] == 1 else f"{key}_{seen[key]}"), docstring(block.group(1))


def enumerator_tables(text):
    """One table per enumeration, {name, docstring} per documented enumerator and a null end:
    `<Class>_<Enum>_values`."""
    classes = spans(text, CLASS_HEAD)
    for start, end, name in spans(text, ENUM_HEAD):
        scope = enclosing(classes, start)
        rows = []
        for block in DOC_BLOCK.finditer(text, start, end):
            enumerator = re.match(r"\s*(\w+)", text[block.end():end]).group(1)
            rows.append(f'{{"{enumerator}", R"doc({docstring(block.group(1))})doc"}}')
        key = f"{scope}_{name}" if scope else name
        yield f"inline constexpr const char* {key}_values[][2] = {{{', '.join(rows + ['{nullptr, nullptr}'])}}};"


def main(output, headers):
    lines = ["// Generated from the public headers by gen_docstrings.py; do not edit.", "#pragma once", "",
             "namespace tulo_python::doc {", ""]
    for header in headers:
        with open(header, encoding="utf-8") as source:
            text = source.read()
        lines += [f'inline constexpr const char* {key} = R"doc({doc})doc";' for key, doc in entries(text)]
        lines += list(enumerator_tables(text))
    lines += ["", "} // namespace tulo_python::doc", ""]
    with open(output, "w", encoding="utf-8") as out:
        out.write("\n".join(lines))


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2:])
