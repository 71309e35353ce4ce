"""OCR benchmark parts: scoring, Tesseract in batch mode, the methods' pages.

    import sys; sys.path.insert(0, "bench")
    from ocrbench import scoring, tesseract, methods

    scoring.page_misses(page_text, ["TOTAL 12.00", ...])   # [bool]: True = not on the page
    scoring.box_errors(ocr_line, "TOTAL 12.00")             # (edits, characters)
    tesseract.read(paths, psm=7)                            # one text per image, one process
    methods.page_for("zentrel", grey)                       # (page, Tesseract options)

The command line is bench/ocr.py.
"""
