#!/usr/bin/env python3
"""Writes the program's icon drawings (NNN.svg, one per icon number) and icons.qrc.

Every drawing is made on a 32 x 32 grid with few, bold shapes so that it stays legible at the
tray's 16 to 24 pixels. Run it after changing a drawing; its output is committed.
"""
import os

HERE = os.path.dirname(os.path.abspath(__file__))
FONT = "font-family='DejaVu Sans, Liberation Sans, sans-serif' font-weight='bold'"


def svg(body):
    return ("<svg xmlns='http://www.w3.org/2000/svg' width='32' height='32' "
            "viewBox='0 0 32 32'>" + body + "</svg>\n")


def envelope(fill, edge, flap=None, x=2, y=7, w=28, h=19):
    flap = flap or edge
    return (f"<rect x='{x}' y='{y}' width='{w}' height='{h}' rx='2.5' fill='{fill}' "
            f"stroke='{edge}' stroke-width='2'/>"
            f"<path d='M{x + 1} {y + 1.5} L{x + w / 2} {y + h * 0.6} L{x + w - 1} {y + 1.5}' "
            f"fill='none' stroke='{flap}' stroke-width='2.5' stroke-linejoin='round'/>")


def letter_out(colour="#ffffff", edge="#555555"):
    # A sheet standing out of the envelope: the "there is mail" sign.
    return (f"<rect x='9' y='2' width='14' height='13' fill='{colour}' stroke='{edge}' "
            f"stroke-width='1.5'/><path d='M12 6h8M12 9.5h8' stroke='{edge}' stroke-width='1.5'/>")


def dot(colour="#e81123", cx=25, cy=8, r=6):
    return (f"<circle cx='{cx}' cy='{cy}' r='{r}' fill='{colour}' stroke='#ffffff' "
            f"stroke-width='1.5'/>")


def tile(fill, text, colour="#ffffff", size=18, shape="rect", y=22.5):
    if shape == "circle":
        back = f"<circle cx='16' cy='16' r='14.5' fill='{fill}'/>"
    else:
        back = f"<rect x='1.5' y='1.5' width='29' height='29' rx='6' fill='{fill}'/>"
    return back + (f"<text x='16' y='{y}' text-anchor='middle' font-size='{size}' {FONT} "
                   f"fill='{colour}'>{text}</text>")


def ring_tile(ring, text, colour):
    return (f"<circle cx='16' cy='16' r='13' fill='#ffffff' stroke='{ring}' stroke-width='4'/>"
            f"<text x='16' y='22' text-anchor='middle' font-size='16' {FONT} "
            f"fill='{colour}'>{text}</text>")


BELL = ("<path d='M16 3c-5 0-8 4-8 9v6l-3 4h22l-3-4v-6c0-5-3-9-8-9z' fill='{0}' stroke='#333333' "
        "stroke-width='1.5' stroke-linejoin='round'/><circle cx='16' cy='25.5' r='3' "
        "fill='#333333'/>")

ICONS = {
    # The program itself: an envelope with a bell.
    101: envelope("#1565c0", "#0d3c7a", "#90caf9") + BELL.format("#ffc107").replace(
        "<path", "<path transform='translate(11 -1) scale(0.6)'").replace(
        "<circle", "<circle transform='translate(11 -1) scale(0.6)'"),
    # Tray styles: no-mail and mail pictures.
    112: envelope("#ffffff", "#0a64c8"),
    113: envelope("#0a64c8", "#073f80", "#9cc8f5"),
    119: letter_out() + envelope("#0a64c8", "#073f80", "#9cc8f5", y=11, h=17),
    114: envelope("#f57c00", "#8a4500", "#ffd08a"),
    116: envelope("#ffffff", "#f57c00"),
    115: letter_out() + envelope("#f57c00", "#8a4500", "#ffd08a", y=11, h=17),
    131: tile("#0f4c81", "O", size=20),
    132: tile("#0f4c81", "O", size=20) + envelope("#ffffff", "#0f4c81", x=13, y=15, w=17, h=13),
    117: ("<circle cx='16' cy='9' r='6' fill='#2e9b3a'/>"
          "<path d='M4 30c0-8 5-12 12-12s12 4 12 12z' fill='#2e9b3a'/>"),
    118: ("<circle cx='12' cy='9' r='6' fill='#2e9b3a'/>"
          "<path d='M1 30c0-8 4-12 11-12s11 4 11 12z' fill='#2e9b3a'/>"
          + envelope("#ffffff", "#2e9b3a", x=14, y=17, w=17, h=12)),
    210: envelope("#ffffff", "#9e9e9e", "#d93025"),
    209: envelope("#ffffff", "#9e9e9e", "#d93025") + dot("#d93025"),
    212: envelope("#fc3f1d", "#a3220a", "#ffffff"),
    211: envelope("#fc3f1d", "#a3220a", "#ffffff") + dot("#ffcc00"),
    223: ("<circle cx='16' cy='16' r='14' fill='#ff9e00'/><text x='16' y='22.5' "
          f"text-anchor='middle' font-size='19' {FONT} fill='#ffffff'>@</text>"),
    222: ("<circle cx='16' cy='16' r='14' fill='#ff9e00'/><text x='16' y='22.5' "
          f"text-anchor='middle' font-size='19' {FONT} fill='#ffffff'>@</text>") + dot(cx=26, cy=6,
                                                                                   r=5),
    220: ("<rect x='1.5' y='1.5' width='29' height='29' rx='7' fill='#e0e0e0'/>"
          + envelope("#2196f3", "#0d5aa7", "#ffffff", x=5, y=9, w=22, h=15)),
    219: ("<rect x='1.5' y='1.5' width='29' height='29' rx='7' fill='#e0e0e0'/>"
          + envelope("#2196f3", "#0d5aa7", "#ffffff", x=5, y=9, w=22, h=15) + dot(cx=26, cy=6,
                                                                                 r=5.5)),
    216: ("<defs><linearGradient id='g' x1='0' y1='0' x2='0' y2='1'><stop offset='0' "
          "stop-color='#4fc3f7'/><stop offset='1' stop-color='#01579b'/></linearGradient></defs>"
          + envelope("url(#g)", "#01579b", "#e1f5fe")),
    215: ("<defs><linearGradient id='g' x1='0' y1='0' x2='0' y2='1'><stop offset='0' "
          "stop-color='#4fc3f7'/><stop offset='1' stop-color='#01579b'/></linearGradient></defs>"
          + letter_out("#fffde7", "#01579b")
          + envelope("url(#g)", "#01579b", "#e1f5fe", y=11, h=17)),
    # Status pictures.
    141: envelope("#bdbdbd", "#616161") + ("<circle cx='23' cy='22' r='8' fill='#d32f2f' "
                                           "stroke='#ffffff' stroke-width='1.5'/><path d='M19.5 "
                                           "18.5l7 7M26.5 18.5l-7 7' stroke='#ffffff' "
                                           "stroke-width='2.5'/>"),
    200: envelope("#bdbdbd", "#616161") + ("<circle cx='23' cy='22' r='8' fill='#37474f' "
                                           "stroke='#ffffff' stroke-width='1.5'/><path d='M23 "
                                           "17v5.5l3.5 2' fill='none' stroke='#ffffff' "
                                           "stroke-width='2'/>"),
    # Composition: the plate under the plain digit, the badge, the many-mails sign.
    124: "<rect x='8.5' y='4.5' width='23.5' height='27.5' rx='5' fill='#1f2a33'/>",
    224: "<circle cx='16' cy='16' r='15.5' fill='#d32f2f'/>",
    229: envelope("#0a64c8", "#073f80", "#9cc8f5") + ("<circle cx='23' cy='22' r='8.5' "
                                                      "fill='#d32f2f' stroke='#ffffff' "
                                                      "stroke-width='1.5'/><path d='M23 17v10"
                                                      "M18 22h10' stroke='#ffffff' "
                                                      "stroke-width='3'/>"),
    # Menu commands.
    105: ("<path d='M10 7.5a11 11 0 1 0 12 0' fill='none' stroke='#c62828' stroke-width='3.5' "
          "stroke-linecap='round'/><path d='M16 3v12' stroke='#c62828' stroke-width='3.5' "
          "stroke-linecap='round'/>"),
    120: ("<path d='M13.5 2h5l.8 4 3 1.3 3.4-2.3 3.5 3.5-2.3 3.4 1.3 3 4 .8v5l-4 .8-1.3 3 2.3 "
          "3.4-3.5 3.5-3.4-2.3-3 1.3-.8 4h-5l-.8-4-3-1.3-3.4 2.3-3.5-3.5 2.3-3.4-1.3-3-4-.8v-5"
          "l4-.8 1.3-3-2.3-3.4 3.5-3.5 3.4 2.3 3-1.3z' fill='#607d8b'/>"
          "<circle cx='16' cy='16' r='5' fill='#ffffff'/>"),
    123: ("<path d='M26 16a10 10 0 1 1-3-7.1' fill='none' stroke='#2e7d32' stroke-width='3.5' "
          "stroke-linecap='round'/><path d='M27 3v9h-9z' fill='#2e7d32'/>"),
    154: ("<circle cx='16' cy='16' r='13' fill='#ffffff' stroke='#5d4037' stroke-width='3'/>"
          "<path d='M16 8v8l5 4' fill='none' stroke='#5d4037' stroke-width='3' "
          "stroke-linecap='round'/>"),
    155: BELL.format("#9e9e9e") + ("<path d='M4 4l24 24' stroke='#c62828' stroke-width='3.5' "
                                   "stroke-linecap='round'/>"),
    156: BELL.format("#ffc107"),
    111: "<path d='M9 5v22l18-11z' fill='#2e7d32'/>",
    218: ("<path d='M16 2.5l14 25h-28z' fill='#ffc107' stroke='#8d6e00' stroke-width='1.5' "
          "stroke-linejoin='round'/><path d='M16 11v8' stroke='#222222' stroke-width='3.5' "
          "stroke-linecap='round'/><circle cx='16' cy='23.5' r='2' fill='#222222'/>"),
    122: ("<rect x='2' y='4' width='28' height='24' rx='3' fill='#ffffff' stroke='#546e7a' "
          "stroke-width='2'/><rect x='2' y='4' width='28' height='6' rx='3' fill='#546e7a'/>"),
    # Account types.
    125: tile("#d93025", "G"),
    126: tile("#6001d2", "Y!", size=15),
    134: tile("#e42527", "Z"),
    136: tile("#005ff9", "M"),
    146: tile("#1e88e5", "V"),
    147: tile("#f9a825", "N", colour="#3e2723"),
    149: tile("#1877f2", "F", shape="circle"),
    150: tile("#111111", "X"),
    152: tile("#ff7900", "o", size=22, y=21),
    158: tile("#0a66c2", "in", size=15, y=21.5),
    175: tile("#0050a0", "O2", size=13, y=21),
    181: tile("#fc3f1d", "Y", shape="circle"),
    184: tile("#e2001a", "S", shape="circle"),
    197: ("<rect x='3' y='2' width='26' height='28' rx='3' fill='#455a64'/>"
          + envelope("#ffffff", "#263238", "#455a64", x=6, y=8, w=20, h=14)),
    201: tile("#f9a825", "iN", colour="#3e2723", size=14, y=21.5),
    208: tile("#1565c0", "MP", size=12, y=20.5),
    225: tile("#0078d4", "EX", size=12, y=20.5),
    # Mail readers.
    137: tile("#ff7139", "Fx", shape="circle", size=13, y=20.5),
    138: ring_tile("#1e88e5", "e", "#1e88e5"),
    139: ring_tile("#ff1b2d", "O", "#ff1b2d"),
    140: ("<circle cx='16' cy='16' r='14.5' fill='#db4437'/><path d='M16 16L3.4 23.3A14.5 14.5 "
          "0 0 0 16 30.5z' fill='#0f9d58'/><path d='M16 16v14.5A14.5 14.5 0 0 0 28.6 8.7z' "
          "fill='#ffcd40'/><circle cx='16' cy='16' r='6.5' fill='#4285f4' stroke='#ffffff' "
          "stroke-width='2'/>"),
    173: tile("#0c8484", "E", shape="circle"),
    183: envelope("#0078d4", "#004578", "#ffffff", y=6, h=20) + ("<text x='16' y='29' "
                                                               "text-anchor='middle' "
                                                               "font-size='9' "
                                                               f"{FONT} fill='#ffffff'>M</text>"),
    187: tile("#f55b2f", "eM", size=13, y=20.5),
    204: tile("#0a84ff", "T", shape="circle"),
    213: tile("#0364b8", "Ol", size=14, y=21),
    228: tile("#7b1fa2", "W"),
}


def main():
    for number, body in sorted(ICONS.items()):
        with open(os.path.join(HERE, f"{number}.svg"), "w") as out:
            out.write(svg(body))
    with open(os.path.join(HERE, "icons.qrc"), "w") as qrc:
        qrc.write("<RCC>\n  <qresource prefix=\"/icons\">\n")
        for number in sorted(ICONS):
            qrc.write(f"    <file>{number}.svg</file>\n")
        qrc.write("  </qresource>\n</RCC>\n")


if __name__ == "__main__":
    main()
