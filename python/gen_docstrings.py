"""Turns the doc blocks of the public headers into a C++ header of Python docstrings.

usage: gen_docstrings.py OUTPUT HEADER...

Every `/** ... */` block names the declaration that follows it. A free function `f` becomes
`doc::f`, a member `C::f` becomes `doc::C_f`, and the n-th overload of a name (n > 1) gets `_n`
appended, in header order; `operator==` is called `eq`. The text keeps the brief, and turns the
tags into Python terms: parameters, what is returned and which Python exception is raised.
"""
import re
import sys

DOC_BLOCK = re.compile(r"/\*\*(.*?)\*/", re.S)
CLASS_HEAD = re.compile(r"\bclass\s+(?:TULO_API\s+)?(\w+)\s*(?::[^{]*)?\{")
TAG = re.compile(r"@(brief|param|return|throws)\b")

# C++ terms of the headers and what a Python caller meets instead. A file that cannot be read or
# written is the one std::runtime_error the library throws.
PYTHON_TERMS = [
    ("std::invalid_argument", "ValueError"),
    ("std::out_of_range", "IndexError"),
    ("std::runtime_error", "OSError"),
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
        body = python_text(body.strip())
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
    """The name a declaration introduces: a function's, a member's, an enumeration's or a class's."""
    head = re.split(r"[;{]", declaration, maxsplit=1)[0]
    if "operator==" in head:
        return "eq"
    match = re.match(r"\s*(?:class|enum class)\s+(?:TULO_API\s+)?(\w+)", head)
    if match:
        return match.group(1)
    head = head.split("(")[0] if "(" in head else head.split(";")[0]
    return re.findall(r"\w+", head)[-1]


def class_spans(text):
    """(start, end, name) of every class body."""
    spans = []
    for match in CLASS_HEAD.finditer(text):
        depth, pos = 1, match.end()
        while depth:
            depth += {"{": 1, "}": -1}.get(text[pos], 0)
            pos += 1
        spans.append((match.end(), pos, match.group(1)))
    return spans


def entries(text):
    """(key, docstring) of every doc block, overloads numbered in order."""
    spans = class_spans(text)
    seen = {}
    for block in DOC_BLOCK.finditer(text):
        declaration = text[block.end():].lstrip()
        scope = next((name for start, end, name in spans if start <= block.start() < end), None)
        key = declared_name(declaration)
        if scope and key != scope:
            key = f"{scope}_{key}"
        seen[key] = seen.get(key, 0) + 1
        yield (key if seen[key] == 1 else f"{key}_{seen[key]}"), docstring(block.group(1))


def main(output, headers):
    lines = ["// Generated from the public headers by gen_docstrings.py; do not edit.", "#pragma once", "",
             "namespace tulo_python::doc {", ""]
    for header in headers:
        with open(header, encoding="utf-8") as source:
            for key, text in entries(source.read()):
                lines.append(f'inline constexpr const char* {key} = R"doc({text})doc";')
    lines += ["", "} // namespace tulo_python::doc", ""]
    with open(output, "w", encoding="utf-8") as out:
        out.write("\n".join(lines))


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2:])
