"""Every chart type end to end on rendered photos, and the encodings: the
module's calibration equals `colorcal calibrate` on the same inputs (JSON,
white image, corrected photo), in the default red-green-blue order and
for OpenCV's blue-green-red arrays."""

import numpy as np
import pytest

import colorcal
from conftest import run_tool, without_timings

# The seeds of the tool's own end-to-end tests (reference colours that the
# segmentation separates).
CHARTS = [("cct-print", 1), ("qcc-print", 1), ("cct-xrite", 1), ("qcc-xrite", 1),
          ("qcc-print-small", 2)]


def swap_matrix_order(m):
    """A matrix with rows and columns in the other channel order (RGB <-> BGR)."""
    return np.hstack([m[::-1, 2::-1], m[::-1, 3:]])


@pytest.mark.parametrize("chart,seed", CHARTS)
def test_chart_equals_the_tool(chart, seed, tmp_path):
    r = colorcal.render(chart, seed=seed)
    white = r["white"] if "xrite" in chart else None
    cal = colorcal.calibrate(r["photo"], chart, r["references"], roi=r["roi"], external_white=white)
    assert cal.ok, cal.error
    assert (cal.encoding, cal.matrix_space) == ("srgb", "linear")
    assert [p["reference_index"] for p in cal.patches] == r["reference_index"]
    centers = np.array([p["center"] for p in cal.patches])
    assert np.abs(centers - r["centers"]).max() < 6
    assert cal.delta_e2000_stats["mean"] < 2 < cal.delta_e2000_stats_before["mean"]

    tool = run_tool(tmp_path, r["photo"], chart, r["references"], r["roi"], white)
    assert without_timings(cal.to_json()) == without_timings(tool.json)
    np.testing.assert_array_equal(cal.white, tool.white)
    np.testing.assert_array_equal(cal.apply(r["photo"]), tool.corrected)

    bgr = colorcal.calibrate(r["photo"][..., ::-1], chart, r["references"], roi=r["roi"],
                             external_white=None if white is None else white[..., ::-1],
                             channel_order="bgr")
    assert without_timings(bgr.to_json()) == without_timings(cal.to_json())
    np.testing.assert_array_equal(bgr.matrix, swap_matrix_order(cal.matrix))
    np.testing.assert_array_equal(bgr.real_white, cal.real_white[::-1])
    np.testing.assert_array_equal(bgr.white, cal.white[..., ::-1])
    np.testing.assert_array_equal(bgr.apply(r["photo"][..., ::-1]), tool.corrected[..., ::-1])


@pytest.mark.parametrize("dtype,encoding,resolved", [
    ("uint8", "none", "none"),
    ("uint8", "linear", "linear"),
    ("uint16", "auto", "linear"),
    ("float32", "auto", "linear"),
])
def test_encodings_equal_the_tool(dtype, encoding, resolved, tmp_path):
    r = colorcal.render("qcc-print", seed=1)
    photo = {"uint8": r["photo"],
             "uint16": r["photo"].astype(np.uint16) * 257,
             "float32": r["photo"].astype(np.float32) / 255}[dtype]
    cal = colorcal.calibrate(photo, "qcc-print", r["references"], roi=r["roi"], encoding=encoding)
    assert cal.encoding == resolved
    tool = run_tool(tmp_path, photo, "qcc-print", r["references"], r["roi"],
                    encoding=None if encoding == "auto" else encoding)
    assert without_timings(cal.to_json()) == without_timings(tool.json)
    if cal.ok:
        np.testing.assert_array_equal(cal.white, tool.white)
        corrected = cal.apply(photo)
        assert corrected.dtype == photo.dtype
        if dtype != "float32":  # the tool writes float photos corrected as 8-bit files
            np.testing.assert_array_equal(corrected, tool.corrected)
        else:
            assert corrected.max() <= 1.0


def test_located_card_equals_the_tool(tmp_path):
    """Without roi and support both find the card themselves, and agree on it."""
    r = colorcal.render("qcc-print", seed=1)
    cal = colorcal.calibrate(r["photo"], "qcc-print", r["references"])
    assert cal.ok, cal.error
    assert cal.card["found"] and len(cal.card["corners"]) == 4 and cal.card["score"] > 0.8
    tool = run_tool(tmp_path, r["photo"], "qcc-print", r["references"], None)
    assert without_timings(cal.to_json()) == without_timings(tool.json)
    np.testing.assert_array_equal(cal.white, tool.white)


def test_no_card_fails_as_the_tool_does(tmp_path):
    r = colorcal.render("qcc-print", seed=1)
    blank = np.full_like(r["photo"], 230)
    cal = colorcal.calibrate(blank, "qcc-print", r["references"])
    assert not cal.ok
    assert cal.error.startswith("no chart card found in the photo: ")
    assert cal.card == {"found": False, "corners": None, "score": None}
    tool = run_tool(tmp_path, blank, "qcc-print", r["references"], None)
    assert without_timings(cal.to_json()) == without_timings(tool.json)
