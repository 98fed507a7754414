#!/usr/bin/python3
"""Reads every barcode in each picture with zxing-cpp, and with zbar for the
symbologies zbar reads. A picture may be cut to a box first, given as
PICTURE@LEFT,TOP,RIGHT,BOTTOM in pixels (one symbol to a box: zxing-cpp
1.4 fails an assertion when it merges several on one picture). Prints one
line per symbol found:

    PICTURE[@BOX] <TAB> READER <TAB> FORMAT <TAB> TEXT

READER is "zxing" or "zbar"; TEXT is the decoded text with backslashes,
tabs, line ends and control characters written as Python escapes.

    read_barcodes.py PICTURE[@BOX]...
"""
import os
import subprocess
import sys
import tempfile

import zxingcpp
from PIL import Image


# The decoded text as it is: zxing-cpp 2 (Debian 13) gives GS1 symbols
# their human-readable form, "(01)...", unless asked for plain text, which
# zxing-cpp 1.4 (Debian 12) always gives.
PLAIN_TEXT = ({"text_mode": zxingcpp.TextMode.Plain}
              if hasattr(zxingcpp, "TextMode") else {})


def escaped(text):
    return text.encode("unicode_escape").decode("ascii")


def main():
    with tempfile.TemporaryDirectory() as scratch:
        for arg in sys.argv[1:]:
            path, _, box = arg.partition("@")
            image = Image.open(path).convert("L")
            if box:
                # Kept within the picture: PIL fills what lies outside black.
                left, top, right, bottom = (int(v) for v in box.split(","))
                image = image.crop((max(0, left), max(0, top),
                                    min(image.width, right), min(image.height, bottom)))
            for result in zxingcpp.read_barcodes(image, **PLAIN_TEXT):
                print(f"{arg}\tzxing\t{result.format.name}\t{escaped(result.text)}")
            picture = os.path.join(scratch, "picture.png")
            image.save(picture)
            # zbar: one "FORMAT:TEXT" line per symbol; status 4 for none.
            zbar = subprocess.run(["zbarimg", "-q", "--nodbus", picture],
                                  capture_output=True, text=True, check=False)
            for line in zbar.stdout.splitlines():
                symbology, _, text = line.partition(":")
                print(f"{arg}\tzbar\t{symbology}\t{escaped(text)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
