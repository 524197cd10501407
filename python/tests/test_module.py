"""The module's own rules: argument errors before any work, the caller's
arrays left untouched, failures reported as ok == False, calibrations from
several threads at once, and the README's example."""

import os
import re
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import colorcal
from conftest import without_timings


@pytest.fixture(scope="module")
def chart():
    r = colorcal.render("qcc-print", seed=1)
    return r, colorcal.calibrate(r["photo"], "qcc-print", r["references"], roi=r["roi"])


def with_nan(a, index):
    a = a.astype(np.float32)
    a[index] = np.nan
    return a


# (change to the valid arguments, exception, message pattern)
CALIBRATE_ERRORS = [
    (lambda a, r: {"photo": r["photo"].tolist()}, TypeError, "photo must be a numpy array"),
    (lambda a, r: {"photo": r["photo"].astype(np.float64)}, TypeError, "photo has dtype float64"),
    (lambda a, r: {"photo": r["photo"][..., :2]}, ValueError, r"H x W x 3, not shape \(812, 710, 2\)"),
    (lambda a, r: {"photo": r["photo"][:0]}, ValueError, "photo holds no pixels"),
    (lambda a, r: {"photo": with_nan(r["photo"], (5, 5, 1))}, ValueError, "not finite"),
    (lambda a, r: {"chart": "cct-paper"}, ValueError, "unknown chart type 'cct-paper'"),
    (lambda a, r: {"chart": "cct-xrite"}, ValueError, "cct-xrite needs external_white"),
    (lambda a, r: {"references": r["references"][:19]}, ValueError, r"20 x 3.*shape \(19, 3\)"),
    (lambda a, r: {"references": with_nan(r["references"], (3, 1))}, ValueError,
     r"references\[3\]\[1\] is nan"),
    (lambda a, r: {"references": r["references"] + 200}, ValueError, "within 0..255"),
    (lambda a, r: {"references": [["a", "b", "c"]] * 20}, TypeError, "dtype <U1"),
    (lambda a, r: {"references": [[1, 2], [3]]}, ValueError, "20 x 3 numbers"),
    (lambda a, r: {"roi": (600, 500, 200, 200)}, ValueError, r"lies outside the photo \(710 x 812\)"),
    (lambda a, r: {"roi": (0, 0, 0, 5)}, ValueError, "positive width and height"),
    (lambda a, r: {"roi": (1.5, 0, 10, 10)}, TypeError, r"roi\[0\] must be an integer"),
    (lambda a, r: {"roi": (1, 2, 3)}, ValueError, "four integers"),
    (lambda a, r: {"support": np.zeros((10, 10), np.uint8)}, ValueError, r"support must be H x W"),
    (lambda a, r: {"support": np.zeros((812, 710), np.float32)}, TypeError, "uint8 or bool"),
    (lambda a, r: {"external_white": r["white"][:100]}, ValueError, "external_white is 710 x 100"),
    (lambda a, r: {"real_white": (0.5, 200, 200)}, ValueError, r"real_white\[0\] is 0.5"),
    (lambda a, r: {"real_white": (200, 200)}, ValueError, "three numbers"),
    (lambda a, r: {"real_white": "white"}, TypeError, "three numbers, not str"),
    (lambda a, r: {"encoding": "gamma"}, ValueError, "encoding must be"),
    (lambda a, r: {"linear_rgb": True}, ValueError, "linear_rgb=True needs encoding='none'"),
    (lambda a, r: {"channel_order": "grb"}, ValueError, "channel_order must be 'bgr' or 'rgb'"),
]


@pytest.mark.parametrize("change,error,message", CALIBRATE_ERRORS)
def test_wrong_arguments_raise(chart, change, error, message):
    r, _ = chart
    args = {"photo": r["photo"], "chart": "qcc-print", "references": r["references"],
            "roi": r["roi"]}
    args.update(change(args, r))
    with pytest.raises(error, match="^calibrate\\(\\): .*" + message):
        colorcal.calibrate(**args)


@pytest.mark.parametrize("call,error,message", [
    (lambda c, r: c.apply(r["photo"][:100]), ValueError, "is 710 x 100, the calibrated photo 710 x 812"),
    (lambda c, r: c.apply(r["photo"].astype(np.int32)), TypeError, "dtype int32"),
    (lambda c, r: colorcal.render("qcc-print", falloff=0.95), ValueError, r"falloff is 0.95"),
    (lambda c, r: colorcal.render("qcc-print", seed=-1), ValueError, "seed is -1"),
    (lambda c, r: colorcal.render("qcc-print", size=(0, 10)), ValueError, r"size\[0\] is 0"),
    (lambda c, r: colorcal.render("qcc-print", realistic=True, noise=1), ValueError, "leave them None"),
    (lambda c, r: colorcal.render("qcc-print", handheld=True, size=(800, 600)), ValueError,
     "handheld=True draws"),
    (lambda c, r: colorcal.render("qcc-print", handheld=True, realistic=True), ValueError,
     "two different sets"),
])
def test_wrong_arguments_of_apply_and_render_raise(chart, call, error, message):
    r, cal = chart
    with pytest.raises(error, match=message):
        call(cal, r)


def test_inputs_are_neither_modified_nor_needed_writable_or_contiguous(chart):
    r, cal = chart
    h, w, _ = r["photo"].shape
    # A strided view into a wider, read-only array, like those of slices and readers.
    padded = np.zeros((h, w + 7, 3), np.uint8)
    padded[:, 3:3 + w] = r["photo"]
    padded.setflags(write=False)
    photo = padded[:, 3:3 + w]
    # The located card's white ground, shrunk by a few pixels, as the support.
    corners = np.array(cal.card["corners"])
    centre = corners.mean(axis=0)
    corners = centre + (corners - centre) * 0.97
    ys, xs = np.mgrid[0:h, 0:w]
    inside = np.ones((h, w), bool)
    for a, b in zip(corners, np.roll(corners, -1, axis=0)):
        inside &= (b[0] - a[0]) * (ys - a[1]) - (b[1] - a[1]) * (xs - a[0]) >= 0
    support = np.where(inside, 0, 255).astype(np.uint8)
    references = r["references"].copy()
    kept = [a.copy() for a in (padded, support, references)]
    for a in (support, references):
        a.setflags(write=False)

    view = colorcal.calibrate(photo, "qcc-print", references, roi=r["roi"], support=support)
    corrected = view.apply(photo)
    for a, b in zip((padded, support, references), kept):
        np.testing.assert_array_equal(a, b)
    plain = colorcal.calibrate(np.ascontiguousarray(photo), "qcc-print", references.copy(),
                               roi=r["roi"], support=support.copy())
    assert view.ok
    assert without_timings(view.to_json()) == without_timings(plain.to_json())
    np.testing.assert_array_equal(corrected, plain.apply(r["photo"]))
    # The white image is the calibration's own: read-only for the caller.
    with pytest.raises(ValueError):
        view.white[0, 0, 0] = 1


def test_orientation_says_how_the_colours_paired_a_turned_photo(chart):
    r, upright = chart
    assert upright.orientation == 0
    # The photo turned a quarter clockwise, as a camera held in portrait gives it.
    photo = np.ascontiguousarray(np.rot90(r["photo"], k=-1))
    h = r["photo"].shape[0]
    x, y, w, rh = r["roi"]
    cal = colorcal.calibrate(photo, "qcc-print", r["references"], roi=(h - y - rh, x, rh, w))
    assert cal.ok, cal.error
    assert cal.orientation == 90
    assert '"orientation": 90' in cal.to_json()
    # Each patch carries the reference index of the rendered patch it lies on.
    turned = [(h - 1 - cy, cx) for cx, cy in r["centers"]]
    for patch in cal.patches:
        nearest = min(range(20), key=lambda k: np.hypot(*np.subtract(turned[k], patch["center"])))
        assert patch["reference_index"] == r["reference_index"][nearest]


def test_failure_comes_back_as_ok_false_with_the_reason(chart):
    r, _ = chart
    grey = np.full((300, 400, 3), 128, np.uint8)
    cal = colorcal.calibrate(grey, "qcc-print", r["references"], roi=(0, 0, 400, 300))
    assert not cal.ok
    assert cal.error.startswith("no chart card found in the region: ") and "Hint: " in cal.error
    masked = colorcal.calibrate(grey, "qcc-print", r["references"], roi=(0, 0, 400, 300),
                                support=np.zeros((300, 400), np.uint8))
    assert masked.error.startswith("segmentation failed")
    assert (cal.matrix, cal.white, cal.real_white, cal.delta_e2000_stats, cal.patches,
            cal.orientation) == (None, None, None, None, [], None)
    assert '"ok": false' in cal.to_json() and cal.error in repr(cal)
    with pytest.raises(RuntimeError, match="the calibration failed"):
        cal.apply(grey)


def test_references_in_another_order_fail_with_the_residual_and_the_hint(chart):
    r, _ = chart
    shifted = np.roll(np.asarray(r["references"]), 1, axis=0)
    cal = colorcal.calibrate(r["photo"], "qcc-print", shifted, roi=r["roi"])
    assert not cal.ok
    assert re.match(r"calibration failed: the corrected colours miss the references: "
                    r"residual [0-9.]+ of the references' spread .*, at most 0\.40 allowed\. ",
                    cal.error), cal.error
    hint = ("Hint: the reference colours may be in another order than the chart's patches, "
            "or belong to another chart type")
    assert cal.error.endswith(hint)
    # What the failed calibration is asked to do raises with the same reason.
    with pytest.raises(RuntimeError, match=re.escape(hint)):
        cal.apply(r["photo"])


def test_calibrations_run_from_several_threads_at_once():
    cases = [(chart, colorcal.render(chart, seed=seed)) for chart, seed in
             [("cct-print", 1), ("qcc-print", 1), ("qcc-print-small", 2)]]

    def run(case):
        chart, r = case
        cal = colorcal.calibrate(r["photo"], chart, r["references"], roi=r["roi"])
        return without_timings(cal.to_json()), cal.apply(r["photo"])

    alone = [run(case) for case in cases]
    with ThreadPoolExecutor(max_workers=6) as pool:
        together = list(pool.map(run, cases * 2))
    for (json_alone, corrected_alone), (json, corrected) in zip(alone * 2, together):
        assert json == json_alone
        np.testing.assert_array_equal(corrected, corrected_alone)


def test_readme_example_runs_as_printed():
    with open(os.environ["COLORCAL_README"]) as f:
        readme = f.read()
    example = re.search(r"```python\n(.*?)```", readme, re.S).group(1)
    assert len(example.strip().splitlines()) == 5
    out = subprocess.run([sys.executable, "-c", example], capture_output=True, text=True,
                         timeout=300, check=True).stdout
    assert "ok, CIEDE2000 mean" in out
