"""tulo.find_page_content through the binding: the box as a tuple, the blank call, the errors."""
import cv2
import numpy as np
import pytest

import tulo


def scanned_page():
    page = np.full((1100, 850), 245, np.uint8)
    for row in range(200, 800, 40):
        cv2.putText(page, "the quick brown fox jumps", (150, row), cv2.FONT_HERSHEY_SIMPLEX, 1.0, 20, 2)
    truth = cv2.boundingRect(cv2.findNonZero((page < 200).astype(np.uint8)))
    page[:, :30] = 10  # a scanner border down the left side
    return page, truth


@pytest.mark.parametrize("channels", [1, 3, 4], ids=["grey", "bgr", "bgra"])
def test_box_holds_the_text_and_not_the_border(channels):
    page, (x, y, w, h) = scanned_page()
    if channels > 1:
        page = cv2.cvtColor(page, cv2.COLOR_GRAY2BGR if channels == 3 else cv2.COLOR_GRAY2BGRA)
    content = tulo.find_page_content(page)
    bx, by, bw, bh = content.box
    assert not content.blank and content.confidence >= tulo.min_content_confidence
    assert bx <= x and by <= y and bx + bw >= x + w and by + bh >= y + h
    assert bx > 30 and bw < w + 20 and bh < h + 20


def test_plain_paper_is_blank_with_an_empty_box():
    content = tulo.find_page_content(np.full((1100, 850, 3), (200, 230, 240), np.uint8))
    assert content.blank and content.box == (0, 0, 0, 0)
    assert "blank=True" in repr(content)


def test_an_empty_image_is_refused():
    with pytest.raises(ValueError, match="empty"):
        tulo.find_page_content(np.zeros((0, 0), np.uint8))
