"""Plain-text tables: a title, a few description lines, aligned columns and notes."""


def count(number):
    return f"{number:,}"


def seconds(value):
    return f"{value:.4f}" if value < 10 else f"{value:.2f}"


def rate(per_second):
    for scale, suffix in ((1e9, "G"), (1e6, "M"), (1e3, "k")):
        if per_second >= scale:
            return f"{per_second / scale:.2f}{suffix}"
    return f"{per_second:.0f}"


def ratio(value):
    return f"{value:.2f}x"


def nanoseconds(value):
    return f"{value * 1e9:,.0f}"


class Table:
    def __init__(self, title, columns, description=()):
        self.title = title
        self.columns = list(columns)
        self.description = list(description)
        self.rows = []
        self.notes = []

    def add_row(self, cells):
        if len(cells) != len(self.columns):
            raise ValueError(f"{len(cells)} cells for {len(self.columns)} columns")
        self.rows.append([str(cell) for cell in cells])

    def note(self, text):
        if text not in self.notes:
            self.notes.append(text)

    def render(self):
        widths = [
            max([len(column)] + [len(row[i]) for row in self.rows])
            for i, column in enumerate(self.columns)
        ]

        def line(cells):
            # The first column is a label (left-aligned), the others are numbers.
            parts = [cells[0].ljust(widths[0])]
            parts += [cell.rjust(width) for cell, width in zip(cells[1:], widths[1:])]
            return "  ".join(parts).rstrip()

        out = [f"## {self.title}"] + self.description + [""]
        out.append(line(self.columns))
        out.append(line(["-" * width for width in widths]))
        out += [line(row) for row in self.rows]
        if self.notes:
            out.append("")
            out += [f"- {note}" for note in self.notes]
        return "\n".join(out)
