"""A short tour of vorn: write a table, read it back, and see an error report.

Run with `make demo`.
"""

import vorn

table = [
    ["name", "city", "note"],
    ["Zoë", "Zürich", "likes ; and digits 123"],
    ["李雷", "北京", ""],
    ["Ada", "London", "emoji \N{GRINNING FACE} count twice in UTF-16"],
    [],
]

document = vorn.stringify(table)
print("table:")
for row in table:
    print("   ", row)
print(f"\ndocument ({len(document)} code points):\n    {document}")

restored = vorn.parse(document)
print(f"\nround trip: {'ok' if restored == table else 'MISMATCH'}")
if restored != table:
    raise SystemExit(1)

broken = document[:-2]  # cut off the last two row terminators
print("\nparsing the document without its last two ';':")
try:
    vorn.parse(broken)
except SyntaxError as exc:
    print(f"    SyntaxError: {exc}")
else:
    raise SystemExit("a truncated document was accepted")

typo = document.replace("06Zürich", "06Zürichx", 1)
print("\nparsing a document with one character too many in a cell:")
try:
    vorn.parse(typo)
except SyntaxError as exc:
    print(f"    SyntaxError: {exc}")
else:
    raise SystemExit("a malformed document was accepted")
