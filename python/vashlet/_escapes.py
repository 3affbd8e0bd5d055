"""Data shown on a terminal or in HTML, with the characters that would act on the display written
as escapes: `\\x1b` for ESC, `\\u202e` for a right-to-left override.

Escaped are the characters Python's `repr` escapes (`str.isprintable` is false: controls C0, DEL
and C1, format characters such as the bidi controls, separators and spaces other than the ASCII
space, surrogates, private use, unassigned), the categories of the quoted display form of the
native code less its combining marks, which would garble Thai or Devanagari text in a table.
"""

from __future__ import annotations

from html import escape

_NAMED = {"\t": "\\t", "\n": "\\n", "\r": "\\r"}


def escaped_char(char: str) -> str:
    """The escape of one character: ``\\t``, ``\\x1b``, ``\\u202e`` or ``\\U000e0001``."""
    code = ord(char)
    if char in _NAMED:
        return _NAMED[char]
    if code < 0x100:
        return f"\\x{code:02x}"
    if code < 0x10000:
        return f"\\u{code:04x}"
    return f"\\U{code:08x}"


def display_text(text: str) -> str:
    """`text` with every non-printable character written as its escape; other text, the
    backslash included, as it is."""
    if text.isprintable():
        return text
    return "".join(c if c.isprintable() else escaped_char(c) for c in text)


def display_html(text: str, tag: str = "span") -> str:
    """`text` escaped for HTML, every non-printable character written as its escape inside a
    ``<span class="vashlet-escape">`` (so a bidi override shows, and does not reorder the page);
    `tag` ``tspan`` for SVG text. Tabs and line breaks stay (HTML lays them out as spaces, and a
    pattern in ``<pre>`` keeps its lines). Not for attribute values: use
    ``escape(display_text(...))``."""
    if text.isprintable():
        return escape(text)
    parts = []
    plain_from = 0
    for i, c in enumerate(text):
        if not c.isprintable() and c not in "\t\n":
            parts.append(escape(text[plain_from:i]))
            parts.append(f'<{tag} class="vashlet-escape">{escaped_char(c)}</{tag}>')
            plain_from = i + 1
    parts.append(escape(text[plain_from:]))
    return "".join(parts)
