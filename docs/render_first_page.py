"""Render the first page of a PDF report as a small PNG for the README.

    python -m vorn_metrics_plugin.demo demo-output
    python docs/render_first_page.py demo-output/risk-report.pdf docs/report-first-page.png
"""

import sys

import pypdfium2

SCALE = 1.0  # 72 dpi: an A4 page becomes 595 x 842 pixels
COLOURS = 64  # a palette keeps the file small; the page has few colours


def main(pdf_path: str, png_path: str) -> None:
    page = pypdfium2.PdfDocument(pdf_path)[0]
    image = page.render(scale=SCALE).to_pil().convert("RGB")
    image.quantize(colors=COLOURS).save(png_path, optimize=True)


if __name__ == "__main__":
    main(*sys.argv[1:3])
